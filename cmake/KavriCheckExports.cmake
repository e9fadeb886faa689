# Compares the dynamic symbols that LIB defines with the checked-in list
# EXPECTED (one name a line, sorted). Run with
#   cmake -DNM=nm -DLIB=libkavri.so -DEXPECTED=exports.txt -P cmake/KavriCheckExports.cmake
# After a deliberate change to the interface, regenerate the list with
#   nm -D --defined-only libkavri.so | awk '{print $NF}' | sed 's/@.*//' | LC_ALL=C sort -u
execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE nm_out
                RESULT_VARIABLE nm_rc)
if(NOT nm_rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIB}: ${nm_rc}")
endif()
string(REPLACE "\n" ";" lines "${nm_out}")
set(actual "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>[@version]"
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ @]+)")
    list(APPEND actual ${CMAKE_MATCH_1})
  endif()
endforeach()
list(REMOVE_DUPLICATES actual)
file(STRINGS ${EXPECTED} expected)
list(FILTER expected EXCLUDE REGEX "^(#|$)")

set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
if(extra OR missing)
  set(report "exported symbols differ from ${EXPECTED}\n")
  if(extra)
    list(JOIN extra "\n  " extra_text)
    string(APPEND report "exported but not listed:\n  ${extra_text}\n")
  endif()
  if(missing)
    list(JOIN missing "\n  " missing_text)
    string(APPEND report "listed but not exported:\n  ${missing_text}\n")
  endif()
  message(FATAL_ERROR "${report}")
endif()
list(LENGTH actual count)
message(STATUS "${count} exported symbols, as listed")
