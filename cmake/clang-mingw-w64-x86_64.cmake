# Second compiler: Debian's clang targeting Windows over the same mingw-w64 headers and
# libraries (the posix-thread GCC's libstdc++, libgcc and winpthread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES clang REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES clang++ REQUIRED)
set(CMAKE_C_COMPILER_TARGET ${_triple})
set(CMAKE_CXX_COMPILER_TARGET ${_triple})
find_program(CMAKE_RC_COMPILER NAMES ${_triple}-windres REQUIRED)
find_program(CORVELA_OBJDUMP NAMES ${_triple}-objdump REQUIRED)

# clang does not recognise Debian's "12-posix" GCC directory by itself: name it.
find_program(_mingw_gcc NAMES ${_triple}-g++-posix REQUIRED)
execute_process(COMMAND ${_mingw_gcc} -print-libgcc-file-name
                OUTPUT_VARIABLE _libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(_gcc_dir ${_libgcc} DIRECTORY)
set(_cxx_include ${_gcc_dir}/include/c++)
set(CMAKE_SYSROOT /usr/${_triple})
set(CMAKE_CXX_FLAGS_INIT "-isystem ${_cxx_include} -isystem ${_cxx_include}/${_triple} -isystem ${_cxx_include}/backward")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=bfd -L${_gcc_dir}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=bfd -L${_gcc_dir}")

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# libstdc++ of the posix-thread GCC needs winpthread, which g++ adds by itself and clang not.
set(CMAKE_CXX_STANDARD_LIBRARIES "-lstdc++ -lgcc -lgcc_eh -lwinpthread -lkernel32 -luser32 -lshell32 -ladvapi32"
    CACHE STRING "Libraries linked into every C++ program")
