# Cross-compiling for 64-bit Windows with Debian's mingw-w64, posix thread model (the one
# whose libstdc++ has std::thread and std::mutex).
set (CMAKE_SYSTEM_NAME Windows)
set (CMAKE_SYSTEM_PROCESSOR x86_64)

set (MORELTA_MINGW_TRIPLE x86_64-w64-mingw32)
set (CMAKE_C_COMPILER ${MORELTA_MINGW_TRIPLE}-gcc-posix)
set (CMAKE_CXX_COMPILER ${MORELTA_MINGW_TRIPLE}-g++-posix)
set (CMAKE_RC_COMPILER ${MORELTA_MINGW_TRIPLE}-windres)
set (CMAKE_ASM_COMPILER ${MORELTA_MINGW_TRIPLE}-gcc-posix)

# Libraries and headers for Windows: mingw's own, and those that scripts/setup-windows.sh
# builds into MORELTA_MINGW_DEPS.
set (CMAKE_FIND_ROOT_PATH /usr/${MORELTA_MINGW_TRIPLE} ${MORELTA_MINGW_DEPS})
list (APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MORELTA_MINGW_DEPS)
set (CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set (CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set (CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Packages are looked for both there and where the caller points: JUCE's CMake package
# lives with the build machine's libraries.
set (CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
