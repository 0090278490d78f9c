# The binary interface against the reviewed baseline abi/libQuillet.abi (docs/abi.md).
# abidw reads the library's debug information, kept to what the exports reach: the
# records and callback table of quillet.h.
find_program(QUILLET_ABIDW abidw)
find_program(QUILLET_ABIDIFF abidiff)
set(QUILLET_ABI_BASELINE ${PROJECT_SOURCE_DIR}/abi/libQuillet.abi)
if(NOT QUILLET_ABIDW OR NOT QUILLET_ABIDIFF)
  message(STATUS "abigail-tools not found: no ABI check")
  return()
endif()

# Only at a release that adds to the interface (or a major one): regenerate, then review.
add_custom_target(abi-baseline
  COMMAND bash ${PROJECT_SOURCE_DIR}/abi/make_baseline.sh ${QUILLET_ABIDW} $<TARGET_FILE:Quillet>
          ${PROJECT_SOURCE_DIR} ${QUILLET_ABI_BASELINE}
  DEPENDS Quillet
  COMMENT "Writing abi/libQuillet.abi from the library just built")

string(TOUPPER "${CMAKE_BUILD_TYPE}" QUILLET_BUILD_TYPE_UPPER)
if(QUILLET_BUILD_TESTS AND QUILLET_BUILD_TYPE_UPPER MATCHES "^(RELWITHDEBINFO|DEBUG)$")
  add_test(NAME Abi.OnlyAdditionsSinceBaseline
    COMMAND bash ${PROJECT_SOURCE_DIR}/abi/abi_check.sh ${QUILLET_ABIDIFF}
            ${QUILLET_ABI_BASELINE} $<TARGET_FILE:Quillet>)
else()
  message(STATUS "build without debug information: no ABI check")
endif()
