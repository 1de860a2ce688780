# Cross-compiles for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu
# (scripts/wheels.sh). The target's C library and C++ runtime come with that
# compiler, under /usr/aarch64-linux-gnu. CPython's headers cannot be asked of
# an interpreter here: VESTREL_PYTHON_INCLUDE_DIRS names them (an arm64
# libpython3.x-dev unpacked into a folder; kernel-py/CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
