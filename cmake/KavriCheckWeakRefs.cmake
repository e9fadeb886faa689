# Fails when an object of the library ARCHIVE refers to a symbol weakly: the
# areas call each other through the callees' headers, so a call always links
# against the one definition, with the type the definition was compiled
# with. Run with
#   cmake -DNM=nm -DARCHIVE=libkavri_internal.a -P KavriCheckWeakRefs.cmake
execute_process(COMMAND ${NM} ${ARCHIVE} OUTPUT_VARIABLE nm_out RESULT_VARIABLE nm_rc)
if(NOT nm_rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${ARCHIVE}: ${nm_rc}")
endif()
string(REPLACE "\n" ";" lines "${nm_out}")
set(object "")
set(found "")
foreach(line IN LISTS lines)
  if(line MATCHES "^(.+\\.o):$")
    set(object ${CMAKE_MATCH_1})
  elseif(line MATCHES "^ +[wv] __cxa_pure_virtual$")
    # The C++ runtime's handler, referred to weakly by the vtable of every
    # abstract class (shared_ptr's control block): no area of ours.
  elseif(line MATCHES "^ +[wv] ([^ ]+)$")
    list(APPEND found "${object}: ${CMAKE_MATCH_1}")
  endif()
endforeach()
if(found)
  list(JOIN found "\n  " found_text)
  message(FATAL_ERROR "weak references in ${ARCHIVE}:\n  ${found_text}\n")
endif()
message(STATUS "no weak references in ${ARCHIVE}")
