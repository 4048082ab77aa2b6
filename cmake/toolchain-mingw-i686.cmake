# 32-bit Windows (the ZELFX.DLL that 32-bit hosts load), with Debian's
# mingw-w64:  cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZELFX_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
