# The router targets, one row each: the only place where a target's facts
# stand. Everything else (presets, toolchain, sysroot, binary checks, the
# release, the benchmark, the README's tables) derives from these rows
# through Ip4addTargets.cmake. A row:
#
#   ip4add_target(NAME                  preset and build folder
#     TRIPLET t                         Debian's cross compiler t-gcc/t-g++
#     [CPU flag...]                     what selects the instruction set
#     [FLOAT hard|soft]                 soft: integer code only, for FPU-less
#                                       cores (default hard)
#     LIBC glibc|uclibc|musl            glibc is Debian's; the others are
#                                       built into a cached sysroot
#     [LINK dynamic|static]             musl is static only; else dynamic
#     [QEMU_CPU model]                  the emulated CPU of the suite, the
#                                       oldest the file is for (none: the host)
#     [DEBIAN_ARCH arch]                Debian's port of this very ABI: musl
#                                       comes from its musl-dev, not built
#     [RELEASE suffix FITS text])       a release file, ip4add-VERSION-suffix,
#                                       and the CPUs it fits
#
# The order of the rows is the order of the release table.
ip4add_target(x86_64-musl TRIPLET x86_64-linux-gnu LIBC musl DEBIAN_ARCH amd64
  RELEASE x86_64-musl FITS "x86-64 PCs, servers, containers (any C library)")
ip4add_target(armv7-musl TRIPLET arm-linux-gnueabihf
  CPU -march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard LIBC musl QEMU_CPU cortex-a7
  DEBIAN_ARCH armhf RELEASE armv7-musl
  FITS "ARMv7-A with VFPv3 or better: Cortex-A7/A9/A15 (ipq40xx, mvebu, bcm53xx, sunxi)")
ip4add_target(aarch64-musl TRIPLET aarch64-linux-gnu LIBC musl QEMU_CPU cortex-a53
  DEBIAN_ARCH arm64 RELEASE aarch64-musl
  FITS "ARMv8-A 64-bit: Cortex-A53/A72 and later (filogic, ipq807x, bcm27xx, rockchip)")
ip4add_target(mips-musl-sf TRIPLET mips-linux-gnu CPU -march=mips32r2 FLOAT soft LIBC musl
  QEMU_CPU 24Kc RELEASE mips-musl-sf
  FITS "MIPS32r2 big-endian, with or without FPU: 24K/74K (ath79, lantiq)")
ip4add_target(mipsel-musl-sf TRIPLET mipsel-linux-gnu CPU -march=mips32r2 FLOAT soft LIBC musl
  QEMU_CPU 24Kc RELEASE mipsel-musl-sf
  FITS "MIPS32r2 little-endian, with or without FPU: 24K/1004K (ramips mt7620/mt7621/mt76x8)")
ip4add_target(mips-uclibc-static TRIPLET mips-linux-gnu CPU -march=mips32r2 FLOAT soft
  LIBC uclibc LINK static QEMU_CPU 24Kc
  RELEASE mips-uclibc-sf FITS "as mips-musl-sf, built against uClibc-ng")
ip4add_target(mipsel-uclibc-static TRIPLET mipsel-linux-gnu CPU -march=mips32r2 FLOAT soft
  LIBC uclibc LINK static QEMU_CPU 24Kc
  RELEASE mipsel-uclibc-sf FITS "as mipsel-musl-sf, built against uClibc-ng")
ip4add_target(mips-uclibc TRIPLET mips-linux-gnu CPU -march=mips32r2 FLOAT soft LIBC uclibc
  QEMU_CPU 24Kc)
ip4add_target(mipsel-uclibc TRIPLET mipsel-linux-gnu CPU -march=mips32r2 FLOAT soft LIBC uclibc
  QEMU_CPU 24Kc)
ip4add_target(mips-glibc TRIPLET mips-linux-gnu CPU -march=mips32r2 LIBC glibc QEMU_CPU 24Kf)
