# Cross-compiles for 64-bit Windows with Debian's mingw-w64. The posix thread model is
# the one whose libstdc++ has std::thread and std::mutex in GCC 12.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUARVEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUARVEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUARVEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUARVEL_MINGW_TRIPLE}-windres)

# Libraries and headers come from the cross root and the cross-built dependencies;
# programs from the build machine.
# QUARVEL_WINDOWS_DEPS names the folder scripts/windows-deps.sh built the libraries into.
if(NOT QUARVEL_WINDOWS_DEPS AND DEFINED ENV{QUARVEL_WINDOWS_DEPS})
  set(QUARVEL_WINDOWS_DEPS $ENV{QUARVEL_WINDOWS_DEPS})
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUARVEL_WINDOWS_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/${QUARVEL_MINGW_TRIPLE} ${QUARVEL_WINDOWS_DEPS})
if(QUARVEL_WINDOWS_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} ${QUARVEL_WINDOWS_DEPS}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs built here run under Wine.
find_program(QUARVEL_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(QUARVEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUARVEL_WINE})
endif()
