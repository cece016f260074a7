# 32-bit Windows: cmake -B build-win32 --toolchain cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR X86)
set(AMBREVO_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# SSE2 arithmetic instead of the x87 unit, whose 80-bit intermediates would round floats and
# doubles differently from every other build. (A host may call in on a stack aligned to 4
# bytes only; this GCC already assumes so and aligns it where SSE values are kept.)
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
