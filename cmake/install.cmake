# Installs the shared library (versioned soname), the header, a pkg-config file and a
# CMake package, so a host finds Quillet the way it finds libcurl or SQLite.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS Quillet EXPORT QuilletTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/config/log4cpp.nt.property
  DESTINATION ${CMAKE_INSTALL_DATADIR}/quillet)
install(EXPORT QuilletTargets NAMESPACE Quillet::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quillet)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuilletConfig.cmake.in
  ${CMAKE_BINARY_DIR}/QuilletConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quillet)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/QuilletConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/QuilletConfig.cmake ${CMAKE_BINARY_DIR}/QuilletConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quillet)

# The .pc file names its prefix relative to itself, whatever the libdir depth.
file(RELATIVE_PATH QUILLET_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" QUILLET_PC_TO_PREFIX "${QUILLET_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/quillet.pc.in ${CMAKE_BINARY_DIR}/quillet.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/quillet.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
