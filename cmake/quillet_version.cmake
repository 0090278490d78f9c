# The project's one version for a build that starts below the top level (the service's
# own Windows build): read from the top-level project() call, so nothing repeats it.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../CMakeLists.txt QUILLET_PROJECT_LINE
  REGEX "^project\\(Quillet VERSION [0-9]+\\.[0-9]+\\.[0-9]+")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" QUILLET_VERSION "${QUILLET_PROJECT_LINE}")
if(NOT QUILLET_VERSION)
  message(FATAL_ERROR "no project(Quillet VERSION x.y.z) in the top-level CMakeLists.txt")
endif()
