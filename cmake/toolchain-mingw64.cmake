# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix threads flavour).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUIBRIX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUIBRIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUIBRIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUIBRIX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUIBRIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The MinGW runtime DLLs are neither in Wine nor beside Explorer: without a static
# runtime a test program prints nothing under Wine and the extension fails to load.
set(QUIBRIX_STATIC_RUNTIME "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${QUIBRIX_STATIC_RUNTIME}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${QUIBRIX_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${QUIBRIX_STATIC_RUNTIME}")
