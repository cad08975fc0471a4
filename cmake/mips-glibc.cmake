# Toolchain: MIPS32r2 big-endian, hard-float, Debian's cross glibc (boards
# with an FPU). Packages g++-mips-linux-gnu, qemu-user.
set(IP4ADD_ARCH mips)
set(IP4ADD_LIBC glibc)
set(IP4ADD_FLOAT hard)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
