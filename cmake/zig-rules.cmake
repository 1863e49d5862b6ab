# Rules for zig's compiler driver that CMake's platform files set otherwise: zig ignores
# -mwindows, which CMake gives WIN32 executables, so the linker is told the subsystem itself.
set(CMAKE_C_CREATE_WIN32_EXE "-Wl,--subsystem,windows")
set(CMAKE_CXX_CREATE_WIN32_EXE "-Wl,--subsystem,windows")
