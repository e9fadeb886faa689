# Fails when LIB binds a call or an address to a symbol it defines and exports
# itself: a JUMP_SLOT (PLT) or GLOB_DAT (GOT) relocation against one of its
# own exports. The library's areas call each other through internal entry
# points; an application defining a function of the same name would
# otherwise silently replace the library's own. ALLOWED (a ;-list) names the
# exported tables whose address the library must hand out as the process sees
# it. Run with
#   cmake -DNM=nm -DREADELF=readelf -DLIB=libkavri.so [-DALLOWED=a;b] -P KavriCheckSelfBinding.cmake
cmake_policy(SET CMP0057 NEW)  # if(IN_LIST)
foreach(tool NM READELF)
  if(NOT ${tool})
    message(FATAL_ERROR "${tool} is not set")
  endif()
endforeach()
execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE nm_out
                RESULT_VARIABLE nm_rc)
if(NOT nm_rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIB}: ${nm_rc}")
endif()
execute_process(COMMAND ${READELF} -rW ${LIB} OUTPUT_VARIABLE rel_out RESULT_VARIABLE rel_rc)
if(NOT rel_rc EQUAL 0)
  message(FATAL_ERROR "${READELF} failed on ${LIB}: ${rel_rc}")
endif()

set(exported "")
string(REPLACE "\n" ";" lines "${nm_out}")
foreach(line IN LISTS lines)
  # "<address> <type> <name>[@version]"
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ @]+)")
    list(APPEND exported ${CMAKE_MATCH_1})
  endif()
endforeach()

set(bound "")
string(REPLACE "\n" ";" lines "${rel_out}")
foreach(line IN LISTS lines)
  # "<offset> <info> R_X86_64_JUMP_SLOT <value> <name>[@version] + <addend>"
  if(line MATCHES "_(JUMP_SLOT|GLOB_DAT) +[0-9a-fA-F]+ +([^ @]+)")
    list(APPEND bound ${CMAKE_MATCH_2})
  endif()
endforeach()
list(REMOVE_DUPLICATES bound)

set(self_bound "")
foreach(name IN LISTS bound)
  if(name IN_LIST exported AND NOT name IN_LIST ALLOWED)
    list(APPEND self_bound ${name})
  endif()
endforeach()
if(self_bound)
  list(LENGTH self_bound count)
  list(JOIN self_bound "\n  " text)
  message(FATAL_ERROR "${LIB} binds ${count} of its own exports through the PLT/GOT:\n  ${text}\n")
endif()
list(LENGTH bound count)
message(STATUS "no self-binding in ${LIB} (${count} symbols bound through the PLT/GOT)")
