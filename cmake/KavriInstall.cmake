# What `cmake --install` puts in place: libkavri.so with its SONAME, the
# public headers, kavri-cli, the camera simulator with camsim-run, the CMake
# package (find_package(kavri) -> kavri::kavri), kavri.pc for pkg-config and
# the udev rule for the camera's vendor id.
include(CMakePackageConfigHelpers)

set(KAVRI_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kavri)
set(KAVRI_INSTALL_UDEVDIR ${CMAKE_INSTALL_DATADIR}/kavri/udev CACHE STRING
    "where the udev rule is installed (e.g. /etc/udev/rules.d)")

install(TARGETS kavri EXPORT kavriTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_BINARY_DIR}/include/kavri/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kavri)
install(EXPORT kavriTargets NAMESPACE kavri:: DESTINATION ${KAVRI_INSTALL_CMAKEDIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/kavriConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/packaging/kavriConfig.cmake
                              INSTALL_DESTINATION ${KAVRI_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/kavriConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/kavriConfig.cmake
              ${PROJECT_BINARY_DIR}/packaging/kavriConfigVersion.cmake
        DESTINATION ${KAVRI_INSTALL_CMAKEDIR})

# pkg-config: the prefix is found from the .pc file's own place, so the
# installed tree works under any --prefix (and when moved).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KAVRI_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(KAVRI_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  # lib/pkgconfig -> ../.., lib/<multiarch>/pkgconfig -> ../../..
  string(REGEX REPLACE "[^/]+" ".." kavri_pc_up "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
  set(KAVRI_PC_PREFIX "\${pcfiledir}/${kavri_pc_up}")
  set(KAVRI_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(KAVRI_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(KAVRI_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/kavri.pc.in ${PROJECT_BINARY_DIR}/packaging/kavri.pc
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/kavri.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-kavri.rules DESTINATION ${KAVRI_INSTALL_UDEVDIR})

if(TARGET kavri-cli)
  install(TARGETS kavri-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET kavri_camsim)
  install(TARGETS kavri_camsim LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(TARGETS camsim-run RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/sim/camsim.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kavri)
endif()
