# The exported symbols of libkavri.so are exactly the checked-in list.
add_test(NAME abi_exports
         COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIB=$<TARGET_FILE:kavri>
                 -DEXPECTED=${CMAKE_CURRENT_LIST_DIR}/exports.txt
                 -P ${PROJECT_SOURCE_DIR}/cmake/KavriCheckExports.cmake)
# No area reaches another through a weak reference.
add_test(NAME abi_no_weak_references
         COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DARCHIVE=$<TARGET_FILE:kavri_internal>
                 -P ${PROJECT_SOURCE_DIR}/cmake/KavriCheckWeakRefs.cmake)
