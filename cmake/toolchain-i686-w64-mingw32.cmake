set(CMAKE_SYSTEM_PROCESSOR i686)
set(BRIVOK_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-common.cmake)
# 32-bit programs cannot run on this kernel, so there is no emulator for this build.
