# The host writer's HTML reference: Doxygen over quillet.h and the guides
# (docs/Doxyfile.in), built with the project and shipped in the development package.
option(QUILLET_DOCS "Build the HTML reference when doxygen is there" ON)
if(QUILLET_DOCS)
  find_program(QUILLET_DOXYGEN doxygen)
endif()
if(NOT QUILLET_DOXYGEN)
  message(STATUS "doxygen not found: no HTML reference")
  return()
endif()
set(QUILLET_DOCS_OUTPUT ${CMAKE_BINARY_DIR}/docs/reference)
set(QUILLET_DOXYFILE ${CMAKE_BINARY_DIR}/docs/Doxyfile)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${QUILLET_DOXYFILE} @ONLY)
add_custom_command(OUTPUT ${QUILLET_DOCS_OUTPUT}/html/index.html
  COMMAND ${QUILLET_DOXYGEN} ${QUILLET_DOXYFILE}
  DEPENDS ${PROJECT_SOURCE_DIR}/include/quillet.h ${PROJECT_SOURCE_DIR}/docs/host-guide.md
          ${PROJECT_SOURCE_DIR}/docs/abi.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${QUILLET_DOXYFILE}
  COMMENT "Building the HTML reference")
add_custom_target(quillet_reference ALL DEPENDS ${QUILLET_DOCS_OUTPUT}/html/index.html)
install(DIRECTORY ${QUILLET_DOCS_OUTPUT}/html/ DESTINATION ${QUILLET_DEV_DOCDIR}/reference
  COMPONENT development)
