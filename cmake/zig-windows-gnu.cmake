# Zig's clang with its own mingw-w64 C runtime and libc++: builds the launchers for ARM64
# (Debian has no aarch64 mingw-w64), and for x64 to hold both compilers to the same sources.
# CORVELA_ZIG_BIN names the wrappers scripts/fetch-zig makes; CORVELA_ZIG_ARCH picks the target.
set(CMAKE_SYSTEM_NAME Windows)
set(CORVELA_ZIG_ARCH aarch64 CACHE STRING "Target processor: aarch64 or x86_64")
set(CMAKE_SYSTEM_PROCESSOR ${CORVELA_ZIG_ARCH})
if(NOT CORVELA_ZIG_BIN)
  message(FATAL_ERROR "CORVELA_ZIG_BIN is not set: configure through scripts/build-zig")
endif()
# try_compile runs in a project of its own: hand it the two variables.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CORVELA_ZIG_BIN CORVELA_ZIG_ARCH)

# zig defines _WIN32_WINNT from the target's Windows version: name the one the sources
# declare themselves (0x0601), which both builds then agree on.
set(_target ${CORVELA_ZIG_ARCH}-windows.win7-gnu)
set(CMAKE_C_COMPILER ${CORVELA_ZIG_BIN}/zig-cc)
set(CMAKE_CXX_COMPILER ${CORVELA_ZIG_BIN}/zig-c++)
set(CMAKE_C_COMPILER_TARGET ${_target})
set(CMAKE_CXX_COMPILER_TARGET ${_target})
# zig rc takes rc.exe's options; "--" keeps a source path starting with "/" a path.
set(CMAKE_RC_COMPILER ${CORVELA_ZIG_BIN}/zig-rc)
set(CMAKE_RC_COMPILE_OBJECT "<CMAKE_RC_COMPILER> <DEFINES> <INCLUDES> <FLAGS> /fo <OBJECT> -- <SOURCE>")
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/zig-rules.cmake)
# Debian's binutils do not read ARM64 PEs; LLVM's objdump reads both.
find_program(CORVELA_OBJDUMP NAMES llvm-objdump llvm-objdump-14 REQUIRED)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
