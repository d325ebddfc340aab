# Builds with zig's clang against the glibc version in ZIG_TARGET (default
# x86_64-linux-gnu.2.17) and zig's libc++, which zig always links in
# statically.  tools/wheels.sh passes it to CMake as CMAKE_TOOLCHAIN_FILE,
# with ZIG_PYTHON naming a Python that has the ziglang package.
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/ranlib CACHE FILEPATH "")
# Headers that zig's C library lacks and Python.h wants.
set(CMAKE_CXX_FLAGS_INIT "-isystem ${CMAKE_CURRENT_LIST_DIR}/include")
# The C++ runtime is in every module already; the version script alone keeps it local.
set(KORVANE_CXX_RUNTIME_BUILTIN ON)
