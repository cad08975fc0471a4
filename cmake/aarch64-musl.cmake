# Toolchain: AArch64, musl, static (Cortex-A53 and later routers). Packages
# g++-aarch64-linux-gnu, qemu-user.
set(IP4ADD_ARCH aarch64)
set(IP4ADD_LIBC musl)
set(IP4ADD_FLOAT hard)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
