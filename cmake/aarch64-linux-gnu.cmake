# Cross build for 64-bit Arm Linux with Debian's cross toolchain
# (crossbuild-essential-arm64) and the arm64 libraries installed through
# multiarch. Programs built this way run on this machine under qemu-user:
# CMake's emulator setting makes ctest start every test through it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# pkg-config answers for the arm64 libraries, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
# The programs name /lib/ld-linux-aarch64.so.1, which is the multiarch
# libc6:arm64's loader (the arm64 -dev packages pull it in), and find their
# libraries in the multiarch folders. No -L /usr/aarch64-linux-gnu: that
# gives them the cross toolchain's loader, another Debian revision of glibc,
# beside the multiarch libc.so.6 that the loader's cache names, and that pair
# hangs in the loader.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
