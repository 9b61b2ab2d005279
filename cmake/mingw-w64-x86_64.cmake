# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, which GCC 12 needs for <thread> and <mutex>).
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Test programs run under Wine (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KYR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KYR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KYR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KYR_MINGW_TRIPLE}-windres)
set(CMAKE_MC_COMPILER ${KYR_MINGW_TRIPLE}-windmc)
set(CMAKE_OBJDUMP ${KYR_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KYR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(KYR_WINE NAMES wine wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KYR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KYR_WINE})
endif()
