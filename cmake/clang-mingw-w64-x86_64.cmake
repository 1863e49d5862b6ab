# Second compiler: Debian's clang targeting Windows over the same mingw-w64 headers and libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES clang REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES clang++ REQUIRED)
set(CMAKE_C_COMPILER_TARGET ${_triple})
set(CMAKE_CXX_COMPILER_TARGET ${_triple})
find_program(CMAKE_RC_COMPILER NAMES ${_triple}-windres REQUIRED)
find_program(CORVELA_OBJDUMP NAMES ${_triple}-objdump REQUIRED)
# clang picks up the gcc-posix installation for libstdc++ and the CRT.
set(CMAKE_CXX_FLAGS_INIT "--gcc-toolchain=/usr -fuse-ld=bfd")
set(CMAKE_C_FLAGS_INIT "--gcc-toolchain=/usr -fuse-ld=bfd")

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
