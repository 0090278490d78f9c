# The library built for Windows with MinGW-w64 (see scripts/library-windows.sh): Quillet.dll
# exporting exactly the eight C functions with a version resource, installed as hosts expect
# it (bin/, lib/ with import libraries for MSVC-ABI linkers and for MinGW, include/), the
# unit and end-to-end tests and the sample host. Everything links statically (dependencies,
# libstdc++, libgcc, winpthread) but log4cpp: Quillet.dll loads it as log4cpp.dll, which
# ships beside it with its source (LGPL). The tests link log4cpp statically. They run under
# Wine, driven by the script, not by ctest.
set(QUILLET_WIN_STATIC -static -static-libgcc -static-libstdc++)

# Static libcurl wants CURL_STATICLIB; static OpenSSL, libcurl and log4cpp need the socket,
# certificate-store and random-number libraries; COM/WMI and WinHTTP serve the platform layer.
target_compile_definitions(quillet_deps INTERFACE UNICODE _UNICODE _WIN32_WINNT=0x0601
  CURL_STATICLIB)
target_link_libraries(quillet_deps INTERFACE
  winhttp ole32 oleaut32 ws2_32 crypt32 bcrypt advapi32 user32)

# GNU ld's import library is MinGW's (libQuillet.dll.a); Quillet.lib, below, is for
# MSVC-ABI linkers.
set_target_properties(Quillet PROPERTIES PREFIX "" IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")
target_sources(Quillet PRIVATE ${PROJECT_SOURCE_DIR}/sync/interface/quillet.def)
# Only the .def file's names: nothing of the static libraries is exported along.
target_link_options(Quillet PRIVATE ${QUILLET_WIN_STATIC} "LINKER:--exclude-all-symbols"
  "LINKER:--no-undefined")
include(${PROJECT_SOURCE_DIR}/cmake/version_resource.cmake)
quillet_version_resource(Quillet Quillet.dll Quillet "Quillet sync library" VFT_DLL)

# log4cpp from its DLL (scripts/windows-deps.sh log4cpp-dll); the static log4cpp, which
# the tests link, stays off this link line.
set(QUILLET_LOG4CPP_DLL_DIR ${QUILLET_CROSS_PREFIX}/log4cpp-dll)
if(NOT EXISTS ${QUILLET_LOG4CPP_DLL_DIR}/lib/liblog4cpp.dll.a)
  message(FATAL_ERROR "no log4cpp DLL in ${QUILLET_LOG4CPP_DLL_DIR}: "
    "run scripts/windows-deps.sh log4cpp-dll")
endif()
target_link_libraries(Quillet PRIVATE ${QUILLET_LOG4CPP_DLL_DIR}/lib/liblog4cpp.dll.a)
add_custom_command(TARGET Quillet POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy ${QUILLET_LOG4CPP_DLL_DIR}/bin/log4cpp.dll
          ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/log4cpp.dll)

# The import library of MSVC's format, made from the same .def file without Microsoft's
# tools, for MSVC, clang-cl and lld-link.
find_program(QUILLET_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
set(QUILLET_MSVC_IMPORT_LIB ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/Quillet.lib)
add_custom_command(OUTPUT ${QUILLET_MSVC_IMPORT_LIB}
  COMMAND ${QUILLET_DLLTOOL} -m i386:x86-64 -d ${PROJECT_SOURCE_DIR}/sync/interface/quillet.def
          -D Quillet.dll -l ${QUILLET_MSVC_IMPORT_LIB}
  DEPENDS ${PROJECT_SOURCE_DIR}/sync/interface/quillet.def
  COMMENT "Making Quillet.lib for MSVC-ABI linkers")
add_custom_target(quillet_msvc_import_lib ALL DEPENDS ${QUILLET_MSVC_IMPORT_LIB})

# DWARF for the library's own code: the install strips it from Quillet.dll, and
# scripts/library-windows.sh ships it apart (Quillet.dll.debug, named by .gnu_debuglink).
target_compile_options(quillet_objects PRIVATE -g)
target_link_options(Quillet PRIVATE -g)

# The layout a Windows host expects: bin/ beside the host, lib/ and include/ to build it,
# and a CMake package for MinGW-w64 hosts (find_package(Quillet) with the zip's folder on
# CMAKE_PREFIX_PATH; Quillet::Quillet names libQuillet.dll.a and the header).
install(TARGETS Quillet EXPORT QuilletTargets RUNTIME DESTINATION bin ARCHIVE DESTINATION lib
  PUBLIC_HEADER DESTINATION include)
include(CMakePackageConfigHelpers)
install(EXPORT QuilletTargets NAMESPACE Quillet:: DESTINATION lib/cmake/Quillet)
set(QUILLET_PROPERTY_DIR bin)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuilletConfig.cmake.in
  ${CMAKE_BINARY_DIR}/QuilletConfig.cmake INSTALL_DESTINATION lib/cmake/Quillet
  PATH_VARS QUILLET_PROPERTY_DIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/QuilletConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/QuilletConfig.cmake ${CMAKE_BINARY_DIR}/QuilletConfigVersion.cmake
  DESTINATION lib/cmake/Quillet)
install(FILES ${QUILLET_MSVC_IMPORT_LIB} DESTINATION lib)
install(FILES ${QUILLET_LOG4CPP_DLL_DIR}/bin/log4cpp.dll
  ${PROJECT_SOURCE_DIR}/config/log4cpp.nt.property DESTINATION bin)

if(QUILLET_BUILD_TESTS)
  # GoogleTest from Debian's source copy, built for Windows with the rest.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

  file(GLOB_RECURSE QUILLET_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sync/*_test.cc)
  # e2e has a program of its own (below); posix/ tests the other platform.
  list(FILTER QUILLET_TEST_SOURCES EXCLUDE REGEX "/sync/(e2e|platform/posix)/")
  file(GLOB QUILLET_TESTING_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sync/testing/*.cc)
  # Their main() ends the process once the results are out (see the file).
  set(QUILLET_WIN_TEST_MAIN ${PROJECT_SOURCE_DIR}/sync/testing/win32/test_main.cc)
  add_executable(quillet_tests ${QUILLET_TEST_SOURCES} ${QUILLET_TESTING_SOURCES}
    ${QUILLET_WIN_TEST_MAIN})
  target_compile_options(quillet_tests PRIVATE ${QUILLET_WARNINGS}
    -include ${PROJECT_SOURCE_DIR}/sync/testing/posix_env_win32.h)
  target_link_libraries(quillet_tests PRIVATE quillet_core GTest::gtest GTest::gmock)
  target_link_options(quillet_tests PRIVATE ${QUILLET_WIN_STATIC})
  # The in-process HTTPS test server: libssl, and its certificates made beside the programs
  # with the build machine's openssl (Cacert.pem, test_certs/).
  include(${PROJECT_SOURCE_DIR}/sync/testing/https_test_server.cmake)
  target_link_libraries(quillet_tests PRIVATE ws2_32 crypt32)

  # The end-to-end program runs the reference sync server in-process. Its HTTP layer,
  # cpp-httplib, is upstream's single header from the cache (scripts/windows-deps.sh httplib).
  find_path(QUILLET_HTTPLIB_INCLUDE httplib.h PATHS ${QUILLET_CROSS_PREFIX}/include
    NO_DEFAULT_PATH REQUIRED)
  add_library(quillet_sync_server_lib STATIC
    ${PROJECT_SOURCE_DIR}/tools/sync_server/sync_state.cc
    ${PROJECT_SOURCE_DIR}/tools/sync_server/sync_service.cc
    ${PROJECT_SOURCE_DIR}/tools/sync_server/sync_server.cc)
  target_include_directories(quillet_sync_server_lib PUBLIC ${PROJECT_SOURCE_DIR})
  target_include_directories(quillet_sync_server_lib SYSTEM PRIVATE ${QUILLET_HTTPLIB_INCLUDE})
  target_compile_definitions(quillet_sync_server_lib PRIVATE CPPHTTPLIB_OPENSSL_SUPPORT)
  target_compile_options(quillet_sync_server_lib PRIVATE ${QUILLET_WARNINGS})
  target_link_libraries(quillet_sync_server_lib
    PUBLIC SQLite::SQLite3 Threads::Threads
    PRIVATE PkgConfig::JSONCPP OpenSSL::SSL ws2_32 crypt32)

  file(GLOB QUILLET_E2E_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sync/e2e/*.cc)
  add_executable(quillet_e2e_tests ${QUILLET_E2E_SOURCES} ${QUILLET_TESTING_SOURCES}
    ${QUILLET_WIN_TEST_MAIN})
  target_compile_options(quillet_e2e_tests PRIVATE ${QUILLET_WARNINGS}
    -include ${PROJECT_SOURCE_DIR}/sync/testing/posix_env_win32.h)
  target_link_libraries(quillet_e2e_tests PRIVATE quillet_core quillet_sync_server_lib
    OpenSSL::SSL GTest::gtest GTest::gmock ws2_32 crypt32)
  target_link_options(quillet_e2e_tests PRIVATE ${QUILLET_WIN_STATIC})
  add_dependencies(quillet_e2e_tests quillet_test_certs)

  # The public header compiled as C for Windows: record layouts and calling convention.
  add_executable(quillet_c_header_test ${PROJECT_SOURCE_DIR}/sync/interface/c_header_test.c)
  target_include_directories(quillet_c_header_test PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_compile_options(quillet_c_header_test PRIVATE -Wall -Wextra -Werror -pedantic)
  target_link_options(quillet_c_header_test PRIVATE ${QUILLET_WIN_STATIC})

  # Reads a binary's version resource through version.dll, as installers do.
  add_executable(quillet_version_info ${PROJECT_SOURCE_DIR}/tools/version_info/version_info.c)
  target_compile_options(quillet_version_info PRIVATE -Wall -Wextra -Werror)
  target_link_libraries(quillet_version_info PRIVATE version)
  target_link_options(quillet_version_info PRIVATE -static -municode)
endif()

# The sample host, loading Quillet.dll from its own folder.
add_subdirectory(${PROJECT_SOURCE_DIR}/examples ${CMAKE_BINARY_DIR}/examples)
