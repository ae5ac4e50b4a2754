# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix:
# the POSIX thread model, which std::thread needs), and runs what it builds under Wine.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DLORVANE_BUILD_GUI=OFF
#
# .ci/windows does this and runs the tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)

# Headers and libraries for Windows only; programs (and header-only packages'
# CMake files, found by path) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every .exe stands alone: libgcc, libstdc++ and winpthread linked in, no DLL
# to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# MinGW GCC does not align the stack to 32 bytes on Windows, so an AVX value
# it spills there with an aligned move faults at random; the assembler turns
# those moves into unaligned ones, which cost the same on aligned data.
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")

# Tests (and gtest_discover_tests) run the .exe files under Wine.
find_program(LORVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(LORVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LORVANE_WINE})
endif()
