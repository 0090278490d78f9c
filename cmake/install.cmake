# Installs the shared library (versioned soname), the header, a pkg-config file and a
# CMake package, so a host finds Quillet the way it finds libcurl or SQLite. Two
# components: "runtime" (the
# library and what it reads) and "development" (what a host is built with), which the
# Debian packages (debian/) split along the same line.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUILLET_RUNTIME_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/libquillet${PROJECT_VERSION_MAJOR})
set(QUILLET_DEV_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/libquillet-dev)
set(QUILLET_PROPERTY_DIR ${CMAKE_INSTALL_DATADIR}/quillet)

install(TARGETS Quillet EXPORT QuilletTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
    NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/config/log4cpp.nt.property
  DESTINATION ${QUILLET_PROPERTY_DIR} COMPONENT runtime)
# The licence texts travel with the library (the Debian packages add debian/copyright).
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES
  ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/SECURITY.md
  DESTINATION ${QUILLET_RUNTIME_DOCDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/docs/host-guide.md
  ${PROJECT_SOURCE_DIR}/docs/abi.md DESTINATION ${QUILLET_DEV_DOCDIR} COMPONENT development)
# The sample host's sources build on their own against the installed library.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/bookmarks/
  DESTINATION ${QUILLET_DEV_DOCDIR}/examples/bookmarks COMPONENT development
  FILES_MATCHING PATTERN "*.c" PATTERN "*.h" PATTERN "CMakeLists.txt"
  PATTERN "kill_rerun" EXCLUDE)

install(EXPORT QuilletTargets NAMESPACE Quillet::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quillet COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuilletConfig.cmake.in
  ${CMAKE_BINARY_DIR}/QuilletConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quillet
  PATH_VARS QUILLET_PROPERTY_DIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/QuilletConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/QuilletConfig.cmake ${CMAKE_BINARY_DIR}/QuilletConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quillet COMPONENT development)

# quillet.pc names the install prefix itself, as Debian's and the cross pkg-config
# wrappers expect: it is written at install time, so "cmake --install --prefix" and a
# package's /usr both get their own paths (and DESTDIR or PKG_CONFIG_SYSROOT_DIR relocate
# it). The build tree's copy, for the version check, names the configured prefix.
set(QUILLET_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
configure_file(${PROJECT_SOURCE_DIR}/cmake/quillet.pc.in ${CMAKE_BINARY_DIR}/quillet.pc @ONLY)
install(CODE "
  set(QUILLET_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/quillet.pc.in\"
    \"${CMAKE_BINARY_DIR}/install-pc/quillet.pc\" @ONLY)
  file(INSTALL \"${CMAKE_BINARY_DIR}/install-pc/quillet.pc\"
    DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
" COMPONENT development)
