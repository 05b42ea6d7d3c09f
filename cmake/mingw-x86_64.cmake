# Cross build for 64-bit Windows.
set(mingw_triplet x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Debian's wine64 loader; /usr/bin/wine starts the 32-bit loader first.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
