# The hardening Debian builds with (dpkg-buildflags with hardening=+all), in every build of
# the project, not only the packages': fortified libc calls, strong stack protector, and a
# read-only relocation table bound at load. Sanitizer and fuzz builds bring their own
# checks, which fortification would hide; it needs optimisation, so
# only the optimised build types add it (Debian's own flags bring it to theirs).
if(WIN32 OR QUILLET_ASAN OR QUILLET_TSAN OR QUILLET_FUZZ)
  return()
endif()
add_compile_options(-fstack-protector-strong)
if(CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$"
   AND NOT "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "_FORTIFY_SOURCE")
  add_compile_definitions(_FORTIFY_SOURCE=2)
endif()
add_link_options(LINKER:-z,relro LINKER:-z,now)
