# Cross-build for 64-bit Arm Linux with Debian's cross compiler and the arm64 packages installed
# beside the host's (multiarch); the tests run under qemu's user-mode emulation, with the multiarch
# C library (the cross compiler's own copy, given with -L, hangs at the first new thread).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
