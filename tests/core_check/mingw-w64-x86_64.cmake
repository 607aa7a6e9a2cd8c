# Cross-building the core for Windows x64 with Debian's mingw-w64 GCC (the posix thread model,
# which the C++ standard library's threads and filesystem need). Linked statically, so the
# program runs under Wine or on Windows without the toolchain's DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# zlib's static library rather than its DLL's import library, for the same reason.
set(ZLIB_USE_STATIC_LIBS ON)
