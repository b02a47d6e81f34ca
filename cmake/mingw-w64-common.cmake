# Cross-compiling for Windows with Debian's mingw-w64; the including file
# sets CMAKE_SYSTEM_PROCESSOR (x86_64 or i686).
set(CMAKE_SYSTEM_NAME Windows)
set(TOOLCHAIN_PREFIX ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
# The posix thread model: GoogleTest needs std::mutex.
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages built for this target (libzip) live in a prefix of the build.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# 32-bit mingw-w64 defaults to a 32-bit time_t, which ends in 2038; every
# part of the programs, libzip included, is built with the 64-bit one.
set(CMAKE_C_FLAGS_INIT "-D__MINGW_USE_VC2005_COMPAT")
set(CMAKE_CXX_FLAGS_INIT "-D__MINGW_USE_VC2005_COMPAT")
