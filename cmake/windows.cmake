# The library built for Windows with MinGW-w64 (see scripts/library-windows.sh): Quillet.dll
# exporting exactly the eight C functions, its import library Quillet.lib and quillet.h
# installed beside it, the unit and end-to-end tests and the sample host. Everything links
# statically (dependencies, libstdc++, libgcc, winpthread), so the DLL and the programs need
# no other DLL than Windows' own. The tests run under Wine, driven by the script, not by ctest.
set(QUILLET_WIN_STATIC -static -static-libgcc -static-libstdc++)

# Static libcurl wants CURL_STATICLIB; static OpenSSL, libcurl and log4cpp need the socket,
# certificate-store and random-number libraries; COM/WMI and WinHTTP serve the platform layer.
target_compile_definitions(quillet_deps INTERFACE UNICODE _UNICODE _WIN32_WINNT=0x0601
  CURL_STATICLIB)
target_link_libraries(quillet_deps INTERFACE
  winhttp ole32 oleaut32 ws2_32 crypt32 bcrypt advapi32 user32)

set_target_properties(Quillet PROPERTIES PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
target_sources(Quillet PRIVATE ${PROJECT_SOURCE_DIR}/sync/interface/quillet.def)
# Only the .def file's names: nothing of the static libraries is exported along.
target_link_options(Quillet PRIVATE ${QUILLET_WIN_STATIC} "LINKER:--exclude-all-symbols"
  "LINKER:--no-undefined")

# A Windows host finds all three in one folder.
install(TARGETS Quillet RUNTIME DESTINATION . ARCHIVE DESTINATION . PUBLIC_HEADER DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/config/log4cpp.nt.property DESTINATION .)

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
endif()

# The sample host, loading Quillet.dll from its own folder.
add_subdirectory(${PROJECT_SOURCE_DIR}/examples ${CMAKE_BINARY_DIR}/examples)
