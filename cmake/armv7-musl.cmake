# Toolchain: ARMv7-A with VFPv3-D16, hard-float ABI, musl, static
# (Cortex-A7/A9/A15 routers). Packages g++-arm-linux-gnueabihf, qemu-user.
set(IP4ADD_ARCH arm)
set(IP4ADD_LIBC musl)
set(IP4ADD_FLOAT hard)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
