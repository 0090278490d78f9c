# The in-process HTTPS test server: its certificates, made with OpenSSL at build time beside
# the test executables ("Cacert.pem" is the CA bundle the transport reads there), and libssl.
find_program(QUILLET_OPENSSL_PROGRAM openssl REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS SSL Crypto)

set(QUILLET_TEST_CERT_OUTPUTS
  ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/Cacert.pem
  ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/test_certs/server.pem
  ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/test_certs/server.key
  ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/test_certs/untrusted.pem
  ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/test_certs/untrusted.key)
add_custom_command(OUTPUT ${QUILLET_TEST_CERT_OUTPUTS}
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/make_test_certs.sh ${QUILLET_OPENSSL_PROGRAM}
          ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_test_certs.sh
  COMMENT "Making the test server's certificates"
  VERBATIM)
add_custom_target(quillet_test_certs DEPENDS ${QUILLET_TEST_CERT_OUTPUTS})
add_dependencies(quillet_tests quillet_test_certs)
target_link_libraries(quillet_tests PRIVATE OpenSSL::SSL)
