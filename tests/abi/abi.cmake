# The exported symbols of libkavri.so are exactly the checked-in list.
add_test(NAME abi_exports
         COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIB=$<TARGET_FILE:kavri>
                 -DEXPECTED=${CMAKE_CURRENT_LIST_DIR}/exports.txt
                 -P ${PROJECT_SOURCE_DIR}/cmake/KavriCheckExports.cmake)
# No area reaches another through a weak reference.
add_test(NAME abi_no_weak_references
         COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DARCHIVE=$<TARGET_FILE:kavri_internal>
                 -P ${PROJECT_SOURCE_DIR}/cmake/KavriCheckWeakRefs.cmake)
# The library reaches its own functions and tables directly, never through
# its exported symbols, which an application may replace. The one exception:
# a transport record's ops is the process's ll_op_usb, which is an
# executable's copy when the executable was linked with a copy relocation;
# only the GOT gives that address (the library's calls use its own alias).
add_test(NAME abi_no_self_binding
         COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DREADELF=${CMAKE_READELF}
                 -DLIB=$<TARGET_FILE:kavri> -DALLOWED=ll_op_usb
                 -P ${PROJECT_SOURCE_DIR}/cmake/KavriCheckSelfBinding.cmake)
