# The Debian packages, built by CPack from the install components (cmake/install.cmake):
#   libquillet<MAJOR>  the shared library, its default log configuration, licence texts
#   libquillet-dev     header, linker name, pkg-config file, CMake package, guides, the
#                      reference and the sample host's sources
# cpack --config <build>/CPackConfig.cmake puts them in <build>/packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VENDOR "The Quillet developers")
set(CPACK_PACKAGE_CONTACT "The Quillet developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Two-way sync of a host application's records with the user's cloud space")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libquillet${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Quillet keeps one data type of a host application's records (bookmarks, calendar
events) in step with the user's cloud space, in both directions, behind a plain C
interface. This package holds the shared library.")
# Depends from the libraries it links; shlibs and the ldconfig trigger for its soname.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquillet-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "Quillet keeps one data type of a host application's records in step with the user's
cloud space. This package holds what a host is built with: quillet.h, the linker name,
pkg-config and CMake files, the host guide, the HTML reference and the sample host.")
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

include(CPack)
