# Cross toolchain: MinGW-w64 GCC with the posix thread model, so std::thread,
# std::mutex and std::future work without extra runtime DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_vyn_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_vyn_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_vyn_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_vyn_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_vyn_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
