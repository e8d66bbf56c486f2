# Cross-compiling for 32-bit Windows with Debian's mingw-w64.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DCHUNKUP_WIN_DEPS_PREFIX=<prefix> ...
# The posix thread model compilers: the win32 model has no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CHUNKUP_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${CHUNKUP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CHUNKUP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${CHUNKUP_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${CHUNKUP_MINGW_TRIPLE}-dlltool)

# Where the cross-built libcurl, jsoncpp and googletest live; passed on to
# try_compile projects too.
set(CHUNKUP_WIN_DEPS_PREFIX "" CACHE PATH "prefix holding the cross-built dependencies")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CHUNKUP_WIN_DEPS_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${CHUNKUP_MINGW_TRIPLE})
if(CHUNKUP_WIN_DEPS_PREFIX)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${CHUNKUP_WIN_DEPS_PREFIX})
  list(PREPEND CMAKE_PREFIX_PATH ${CHUNKUP_WIN_DEPS_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
