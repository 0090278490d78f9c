# Unit tests live beside the files they test (*_test.cc) and build into one binary.
file(GLOB_RECURSE QUILLET_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sync/*_test.cc)
# The end-to-end tests build into their own binary (they link the reference sync server).
list(FILTER QUILLET_TEST_SOURCES EXCLUDE REGEX "/sync/(e2e|platform/win32)/")
file(GLOB QUILLET_TESTING_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sync/testing/*.cc)
add_executable(quillet_tests ${QUILLET_TEST_SOURCES} ${QUILLET_TESTING_SOURCES})
target_compile_options(quillet_tests PRIVATE ${QUILLET_WARNINGS})
target_link_libraries(quillet_tests PRIVATE quillet_core GTest::gtest GTest::gmock GTest::gtest_main
  ${CMAKE_DL_LIBS})
set(QUILLET_TEST_ENV "")
if(QUILLET_TSAN)
  set(QUILLET_TEST_ENV "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/sync/testing/tsan.supp")
endif()
gtest_discover_tests(quillet_tests DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120 ENVIRONMENT "${QUILLET_TEST_ENV}")
include(${PROJECT_SOURCE_DIR}/sync/testing/https_test_server.cmake)

# The public header compiled as C: record layouts on this platform.
add_executable(quillet_c_header_test ${PROJECT_SOURCE_DIR}/sync/interface/c_header_test.c)
target_include_directories(quillet_c_header_test PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_compile_options(quillet_c_header_test PRIVATE -Wall -Wextra -Werror -pedantic)
add_test(NAME CHeader.RecordLayouts COMMAND quillet_c_header_test)

# A C host loads the shared library by path and finds the exports by name.
add_executable(quillet_dlopen_test ${PROJECT_SOURCE_DIR}/sync/interface/dlopen_test.c)
target_include_directories(quillet_dlopen_test PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_compile_options(quillet_dlopen_test PRIVATE -Wall -Wextra -Werror)
target_link_libraries(quillet_dlopen_test PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(quillet_dlopen_test Quillet)
add_test(NAME SharedLibrary.LoadsAndFindsExports
  COMMAND quillet_dlopen_test $<TARGET_FILE:Quillet>)
# A round starts the library's logging, then the host unloads the library and exits.
add_test(NAME SharedLibrary.UnloadsAfterARoundAndTheProcessEndsCleanly
  COMMAND sh -c "d=$(mktemp -d) && $<TARGET_FILE:quillet_dlopen_test> $<TARGET_FILE:Quillet> \"$d\"; s=$?; rm -rf \"$d\"; exit $s")

# The shared library exports exactly the eight C functions.
add_test(NAME SharedLibrary.ExportsExactlyEightFunctions
  COMMAND ${PROJECT_SOURCE_DIR}/sync/interface/exported_symbols_test.sh $<TARGET_FILE:Quillet>)

# What `cmake --install` lays down lets a C host build against the library. (A sanitized
# library cannot be loaded by the plain host this builds.)
if(NOT QUILLET_ASAN AND NOT QUILLET_TSAN)
  add_test(NAME Install.HostBuildsAgainstInstalledLibrary
    COMMAND ${PROJECT_SOURCE_DIR}/cmake/install_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR})
  set_tests_properties(Install.HostBuildsAgainstInstalledLibrary PROPERTIES TIMEOUT 120)
endif()

# End-to-end tests: the real exports, the reference sync server in-process, model hosts.
# The server serves with the test certificate whose CA is the Cacert.pem beside the binary.
file(GLOB QUILLET_E2E_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sync/e2e/*.cc)
add_executable(quillet_e2e_tests ${QUILLET_E2E_SOURCES} ${QUILLET_TESTING_SOURCES})
target_compile_options(quillet_e2e_tests PRIVATE ${QUILLET_WARNINGS})
target_compile_definitions(quillet_e2e_tests PRIVATE
  QUILLET_E2E_CERT_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/test_certs")
target_link_libraries(quillet_e2e_tests PRIVATE quillet_core quillet_sync_server_lib OpenSSL::SSL
  GTest::gtest GTest::gmock GTest::gtest_main ${CMAKE_DL_LIBS})
add_dependencies(quillet_e2e_tests quillet_test_certs)
gtest_discover_tests(quillet_e2e_tests DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120 ENVIRONMENT "${QUILLET_TEST_ENV}")
