# Cross build for 32-bit Windows, the program's home platform.
set(mingw_triplet i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# x87 arithmetic keeps intermediates in 80 bits and would round the curve
# differently; SSE2 gives plain double precision, as on every other target.
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
