# 64-bit Windows: cmake -B build-win64 --toolchain cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(AMBREVO_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# The tests run under Wine when it is installed, in a prefix of the build's own (this
# machine's Wine runs 64-bit programs only).
find_program(AMBREVO_WINE wine)
if(AMBREVO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine_run.sh ${CMAKE_BINARY_DIR}/wine)
endif()
