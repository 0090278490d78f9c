# The library built for Windows with MinGW-w64 (see scripts/library-windows.sh): Quillet.dll
# exporting exactly the eight C functions, its import library Quillet.lib and quillet.h
# installed beside it, the unit tests and the sample host. Everything links statically
# (dependencies, libstdc++, libgcc, winpthread), so the DLL and the programs need no other
# DLL than Windows' own. The tests run under Wine, driven by the script, not by ctest.
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
  # e2e runs against the reference server; posix/ tests the other platform; the transport's
  # HTTPS tests need the in-process test server, which is written on POSIX sockets.
  list(FILTER QUILLET_TEST_SOURCES EXCLUDE REGEX "/sync/(e2e|platform/posix)/")
  list(FILTER QUILLET_TEST_SOURCES EXCLUDE REGEX
    "/sync/net/(base_net_interface|app_net_interface|net_factory|net_round)_test\\.cc$")
  file(GLOB QUILLET_TESTING_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sync/testing/*.cc)
  list(FILTER QUILLET_TESTING_SOURCES EXCLUDE REGEX "/https_test_server\\.cc$")
  add_executable(quillet_tests ${QUILLET_TEST_SOURCES} ${QUILLET_TESTING_SOURCES})
  target_compile_options(quillet_tests PRIVATE ${QUILLET_WARNINGS}
    -include ${PROJECT_SOURCE_DIR}/sync/testing/posix_env_win32.h)
  target_link_libraries(quillet_tests PRIVATE quillet_core GTest::gtest GTest::gmock
    GTest::gtest_main)
  target_link_options(quillet_tests PRIVATE ${QUILLET_WIN_STATIC})

  # The public header compiled as C for Windows: record layouts and calling convention.
  add_executable(quillet_c_header_test ${PROJECT_SOURCE_DIR}/sync/interface/c_header_test.c)
  target_include_directories(quillet_c_header_test PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_compile_options(quillet_c_header_test PRIVATE -Wall -Wextra -Werror -pedantic)
  target_link_options(quillet_c_header_test PRIVATE ${QUILLET_WIN_STATIC})
endif()

# The sample host, loading Quillet.dll from its own folder.
add_subdirectory(${PROJECT_SOURCE_DIR}/examples ${CMAKE_BINARY_DIR}/examples)
