# Installed layout: the module in lib/, both headers in include/ambrevo/, the host in
# bin/ (it finds the module at ../lib/Ambrevo.qorb), a CMake package and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS ambrevo_module LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES src/adaptor/ambrevo.h src/interface/ip_host.h src/interface/ip_export.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ambrevo)
if(TARGET ambrevo)
  install(TARGETS ambrevo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET ambrevo_python)
  install(DIRECTORY ${CMAKE_BINARY_DIR}/python/ambrevo DESTINATION ${CMAKE_INSTALL_LIBDIR}/python3/dist-packages
          FILES_MATCHING PATTERN "*.py" PATTERN "*.so" PATTERN "Ambrevo.qorb")
endif()

configure_package_config_file(cmake/AmbrevoConfig.cmake.in ${CMAKE_BINARY_DIR}/AmbrevoConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ambrevo
  PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/AmbrevoConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/AmbrevoConfig.cmake ${CMAKE_BINARY_DIR}/AmbrevoConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ambrevo)

# pkg-config paths are relative to the .pc file itself, so the tree can move.
file(RELATIVE_PATH AMBREVO_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
configure_file(cmake/ambrevo.pc.in ${CMAKE_BINARY_DIR}/ambrevo.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/ambrevo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
