# Cross-compiles for 64-bit Windows with MinGW-w64. The posix thread model is
# required: the win32 one has no std::thread / std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Cross-built dependencies (log4cplus) are installed under QUILLET_CROSS_PREFIX.
if(NOT DEFINED QUILLET_CROSS_PREFIX)
  if(DEFINED ENV{QUILLET_CROSS_PREFIX})
    set(QUILLET_CROSS_PREFIX "$ENV{QUILLET_CROSS_PREFIX}")
  else()
    set(QUILLET_CROSS_PREFIX /opt/quillet-cross)
  endif()
endif()
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${QUILLET_CROSS_PREFIX}")
list(APPEND CMAKE_PREFIX_PATH "${QUILLET_CROSS_PREFIX}")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config answers for the cross-built libraries only, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "${QUILLET_CROSS_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
