# Shared part of the mingw-w64 cross toolchains. The -posix compilers are the ones whose
# libstdc++ has std::mutex, which GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${BRIVOK_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRIVOK_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${BRIVOK_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${BRIVOK_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
