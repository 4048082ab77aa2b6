# Shared part of the mingw-w64 toolchain files; set ZELFX_MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

# Debian ships two thread models; the posix one gives the C++ standard
# library its std::mutex (libtorvek uses it). Everything is linked
# statically, so the DLLs and programs need no mingw runtime DLLs.
set(CMAKE_C_COMPILER ${ZELFX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELFX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELFX_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${ZELFX_MINGW_TRIPLET}-objdump)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH /usr/${ZELFX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
