# The router targets, one row each: the only place where a target's facts
# stand. Everything else (presets, toolchain, sysroot, binary checks, the
# release, the benchmark, the README's tables) derives from these rows
# through Ip4addTargets.cmake. A row:
#
#   ip4add_target(NAME                  preset and build folder
#     TRIPLET t                         Debian's cross compiler t-gcc/t-g++
#     [SUITE release]                   the Debian release it comes from,
#                                       where not this machine's: run
#                                       from a root of that release
#     [CPU flag...]                     what selects the instruction set:
#                                       the oldest core of the family
#     [FLOAT hard|soft]                 soft: integer code only, for FPU-less
#                                       cores (default hard)
#     LIBC glibc|uclibc|musl            glibc is Debian's; the others are
#                                       built into a cached sysroot
#     [LINK static|dynamic...]          one target per linkage: NAME for the
#                                       first, NAME-LINKAGE for the others
#                                       (default dynamic)
#     MAX_BYTES n...                    stripped size ceiling of each, the
#                                       size measured when it was set
#     [QEMU_CPU model]                  the emulated CPU of the suite, the
#                                       oldest the file is for (none: the host)
#     [RELEASE suffix]                  release files, one per linkage:
#                                       ip4add-VERSION-suffix-LINKAGE
#     [CLAIMS model...]                 qemu CPU models that stand for the
#                                       cores the file is for: the release
#                                       runs it on each, and the README
#                                       lists what passed
#     [NOT_ON model...]                 models it must die on (no FPU, an
#                                       older instruction set)
#     [BOOT guest])                     the booted guest (below) on which
#                                       the suite runs again, on a kernel
#                                       of the router's CPU
#
# The booted guests: a board that qemu-system emulates and a Linux kernel for
# it, one row each, before the targets that name them. A row:
#
#   ip4add_guest(NAME
#     MACHINE board CPU model           qemu-system's -M and -cpu
#     KERNEL debian PACKAGE ARCH        Debian's kernel: the meta-package and
#                                       its Debian architecture
#     KERNEL malta)                     a minimal Malta kernel, built from
#                                       Debian's linux-source-6.1 for the
#                                       target's triplet
ip4add_guest(malta-le MACHINE malta CPU 24Kc KERNEL debian linux-image-4kc-malta mipsel)
ip4add_guest(malta-be MACHINE malta CPU 24Kc KERNEL malta)
ip4add_guest(armmp MACHINE virt CPU cortex-a7 KERNEL debian linux-image-armmp armhf)
ip4add_guest(arm64 MACHINE virt CPU cortex-a53 KERNEL debian linux-image-arm64 arm64)

# The order of the rows is the order of the release tables: where two files
# run on a core, the one listed first is the one to take.
ip4add_target(x86_64-musl TRIPLET x86_64-linux-gnu LIBC musl LINK static dynamic
  MAX_BYTES 55296 5888 RELEASE x86_64-musl CLAIMS qemu64 Opteron_G1 core2duo Nehalem)
ip4add_target(i486-musl TRIPLET i686-linux-gnu CPU -march=i486 LIBC musl LINK static dynamic
  MAX_BYTES 55040 5376 QEMU_CPU 486
  RELEASE i486-musl CLAIMS 486 pentium pentium2 pentium3 qemu32 coreduo n270 athlon)
ip4add_target(aarch64-musl TRIPLET aarch64-linux-gnu LIBC musl LINK static dynamic
  MAX_BYTES 67584 7168 QEMU_CPU cortex-a53 BOOT arm64 RELEASE aarch64-musl
  CLAIMS cortex-a35 cortex-a53 cortex-a57 cortex-a72 cortex-a76 neoverse-n1)
ip4add_target(armv7-musl TRIPLET arm-linux-gnueabihf
  CPU -march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard LIBC musl LINK static dynamic
  MAX_BYTES 46592 5376 QEMU_CPU cortex-a7 BOOT armmp RELEASE armv7-musl
  CLAIMS cortex-a7 cortex-a7,neon=off cortex-a8 cortex-a9 cortex-a9,neon=off cortex-a15
  NOT_ON cortex-a9,vfp=off cortex-a7,vfp=off,neon=off arm1176 arm926)
ip4add_target(arm-musl-sf TRIPLET arm-linux-gnueabi CPU -march=armv5te FLOAT soft LIBC musl
  LINK static dynamic MAX_BYTES 62976 9472 QEMU_CPU arm926 BOOT armmp RELEASE arm-musl-sf
  CLAIMS arm926 arm946 pxa270 arm1136 arm1176 arm11mpcore cortex-a7,vfp=off,neon=off
         cortex-a7 cortex-a8 cortex-a9,vfp=off cortex-a9 cortex-a15 NOT_ON sa1110)
ip4add_target(mips-musl-sf TRIPLET mips-linux-gnu CPU -march=mips32 FLOAT soft LIBC musl
  LINK static dynamic MAX_BYTES 80128 7936 QEMU_CPU 4Kc BOOT malta-be RELEASE mips-musl-sf
  CLAIMS 4Kc 4KEcR1 4KEc 24Kc 24KEc 24Kf 34Kf 74Kf M14Kc)
ip4add_target(mipsel-musl-sf TRIPLET mipsel-linux-gnu CPU -march=mips32 FLOAT soft LIBC musl
  LINK static dynamic MAX_BYTES 80128 7936 QEMU_CPU 4Kc BOOT malta-le RELEASE mipsel-musl-sf
  CLAIMS 4Kc 4KEcR1 4KEc 24Kc 24KEc 24Kf 34Kf 74Kf M14Kc)
ip4add_target(mips64-musl-sf TRIPLET mips64-linux-gnuabi64 CPU -march=mips64r2 FLOAT soft
  LIBC musl LINK static dynamic MAX_BYTES 80896 8960 QEMU_CPU 5KEc RELEASE mips64-musl-sf
  CLAIMS 5KEc 5KEf MIPS64R2-generic Octeon68XX NOT_ON 5Kc)
ip4add_target(mips64el-musl-sf TRIPLET mips64el-linux-gnuabi64 CPU -march=mips64r2 FLOAT soft
  LIBC musl LINK static dynamic MAX_BYTES 80896 8960 QEMU_CPU 5KEc RELEASE mips64el-musl-sf
  CLAIMS 5KEc 5KEf MIPS64R2-generic NOT_ON 5Kc)
ip4add_target(armv4-musl-sf TRIPLET arm-linux-gnueabi CPU -march=armv4 FLOAT soft LIBC musl
  LINK static dynamic MAX_BYTES 62976 9472 QEMU_CPU sa1110 RELEASE armv4-musl-sf
  CLAIMS sa1100 sa1110 arm926 pxa270 arm1176 cortex-a9,vfp=off)
ip4add_target(armeb-musl-sf TRIPLET arm-linux-gnueabi CPU -march=armv5te -mbig-endian FLOAT soft
  LIBC musl LINK static dynamic MAX_BYTES 62976 9472 QEMU_CPU pxa250 RELEASE armeb-musl-sf
  CLAIMS pxa250 pxa255 pxa260 pxa270 arm926 NOT_ON sa1110)
ip4add_target(powerpc-musl-sf TRIPLET powerpc-linux-gnu CPU -mcpu=powerpc -mlong-double-64
  FLOAT soft LIBC musl LINK static dynamic MAX_BYTES 71424 7168 QEMU_CPU e500v2_v20
  RELEASE powerpc-musl-sf CLAIMS e500v2_v20 mpc8548_v20 440epx 7400 e300c3)
ip4add_target(powerpc64-musl TRIPLET powerpc64-linux-gnu
  CPU -mcpu=e5500 -mabi=elfv2 -mlong-double-64 LIBC musl LINK static dynamic
  MAX_BYTES 67584 7168 QEMU_CPU e5500 RELEASE powerpc64-musl CLAIMS e5500 e6500 NOT_ON 970)
ip4add_target(riscv64-musl TRIPLET riscv64-linux-gnu CPU -march=rv64gc -mabi=lp64d LIBC musl
  LINK static dynamic MAX_BYTES 56320 6144 QEMU_CPU rv64 RELEASE riscv64-musl
  CLAIMS rv64 sifive-u54)
ip4add_target(loongarch64-musl TRIPLET loongarch64-linux-gnu SUITE trixie CPU -march=loongarch64
  LIBC musl LINK static dynamic MAX_BYTES 83712 6400 QEMU_CPU la464 RELEASE loongarch64-musl
  CLAIMS la464)
ip4add_target(mips-uclibc TRIPLET mips-linux-gnu CPU -march=mips32r2 FLOAT soft LIBC uclibc
  LINK dynamic static MAX_BYTES 6912 81664 QEMU_CPU 24Kc BOOT malta-be)
ip4add_target(mipsel-uclibc TRIPLET mipsel-linux-gnu CPU -march=mips32r2 FLOAT soft
  LIBC uclibc LINK dynamic static MAX_BYTES 6912 81664 QEMU_CPU 24Kc BOOT malta-le)
ip4add_target(mips-glibc TRIPLET mips-linux-gnu CPU -march=mips32r2 LIBC glibc MAX_BYTES 5888
  QEMU_CPU 24Kf)
