# Toolchain: MIPS32 release 2, big-endian, against Debian's cross glibc
# (packages g++-mips-linux-gnu, qemu-user). Tests run under qemu-mips.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(IP4ADD_TRIPLET mips-linux-gnu)
set(CMAKE_C_COMPILER ${IP4ADD_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${IP4ADD_TRIPLET}-g++)
set(CMAKE_C_FLAGS_INIT "-march=mips32r2")
set(CMAKE_CXX_FLAGS_INIT "-march=mips32r2")

set(CMAKE_FIND_ROOT_PATH /usr/${IP4ADD_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips -L /usr/${IP4ADD_TRIPLET})
