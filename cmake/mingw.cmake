# Shared part of the Windows cross builds with Debian's MinGW-w64 compilers; included by
# mingw-i686.cmake and mingw-x86_64.cmake, which set AMBREVO_MINGW_TRIPLE first.
# The posix threads flavour: the module locks its instance table with std::mutex, which the
# win32 flavour of GCC 12 lacks. Its winpthread is linked statically with the rest.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${AMBREVO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${AMBREVO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${AMBREVO_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${AMBREVO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs are linked statically, so that they run (under Wine too) with nothing but the
# module beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
