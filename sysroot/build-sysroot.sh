#!/usr/bin/env bash
# Builds a C library sysroot for one router target from Debian's packages and
# prints its path.
#
# usage: build-sysroot.sh LIBC ARCH FLOAT [CACHE_DIR]
#   LIBC   uclibc     uClibc-ng 1.0.35 from Debian's uclibc-source (MIPS only)
#          musl       musl 1.2.3, static only: Debian's musl-dev for ARCH
#                     where Debian builds it for that ABI (arm, aarch64,
#                     x86_64, hard-float), else built from Debian's musl
#                     source (MIPS, soft-float)
#   ARCH   mips       MIPS32r2 big-endian (Debian's mips-linux-gnu cross gcc)
#          mipsel     MIPS32r2 little-endian (mipsel-linux-gnu)
#          arm        ARMv7-A with VFPv3-D16, hard-float ABI (arm-linux-gnueabihf)
#          aarch64    ARMv8-A, 64-bit (aarch64-linux-gnu)
#          x86_64     x86-64 (the host's gcc)
#   FLOAT  hard       floating point in the FPU (boards with one)
#          soft       in integer code: runs on FPU-less cores (MIPS 24Kc and
#                     alike; MIPS only)
#
# Debian's cross gcc has no soft-float runtime: its libgcc's floating-point
# helpers use the FPU. A soft-float sysroot therefore gets a libgcc of its
# own in usr/lib/libgcc: GCC's soft-fp routines from Debian's gcc-12-source,
# compiled -msoft-float, plus the integer-only members of Debian's libgcc.
# A hard-float sysroot gets Debian's libgcc there unchanged, so a link always
# takes its runtime from the sysroot. Nothing the sysroot holds may contain an
# FPU instruction when FLOAT is soft; the build checks it.
#
# The sysroot also holds the router's shell: BusyBox (Debian's busybox
# source) with ash alone, linked statically against the new C library, as
# bin/busybox. Router-side scripts run in it under the emulator.
#
# The result lives in a cache folder outside the checkout, keyed by the
# arguments and this script's hash: built when missing or when this script
# changes, returned at once otherwise. Concurrent calls for one sysroot wait
# for each other; the finished folder appears in one rename.
set -euo pipefail

usage() {
  echo "usage: build-sysroot.sh uclibc|musl mips|mipsel|arm|aarch64|x86_64 hard|soft [CACHE_DIR]" >&2
  exit 2
}
[ $# -ge 3 ] || usage
libc=$1 arch=$2 float=$3
# Per architecture: the cross compiler and its Debian package, the CPU the
# code is built for, and Debian's name for the architecture where Debian's
# musl-dev serves it.
debian_arch=
case $arch in
mips | mipsel) cross=$arch-linux-gnu- cpu_flags=(-march=mips32r2) ;;
arm)
  cross=arm-linux-gnueabihf- debian_arch=armhf
  cpu_flags=(-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard)
  ;;
aarch64) cross=aarch64-linux-gnu- cpu_flags=() debian_arch=arm64 ;;
x86_64) cross=x86_64-linux-gnu- cpu_flags=() debian_arch=amd64 ;;
*) usage ;;
esac
gcc_package=gcc-${cross%-}
[ "$arch" != x86_64 ] || gcc_package=gcc
case $float in
hard) ;;
soft) case $arch in mips | mipsel) cpu_flags+=(-msoft-float) ;; *) usage ;; esac ;;
*) usage ;;
esac
case $libc in
uclibc) [ "${arch#mips}" != "$arch" ] || usage ;;
musl) [ "$float" = soft ] || [ -n "$debian_arch" ] || usage ;;
*) usage ;;
esac

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
uclibc_tarball=/usr/src/uClibc-ng-1.0.35.tar.xz
cache_dir=${4:-${IP4ADD_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/ip4add}}
key=$(cat "${BASH_SOURCE[0]}" "$here"/{fpu_scan.py,debian-package.sh} | sha256sum | cut -c1-12)
name=$libc-$arch-$float-$key
sysroot=$cache_dir/$name

# Under the lock, a sysroot that another call is building is waited for,
# then found complete.
mkdir -p "$cache_dir"
exec 9>"$sysroot.lock"
flock 9
if [ -f "$sysroot/.complete" ]; then
  echo "$sysroot"
  exit 0
fi

need() { # file-or-command package
  [ -e "$1" ] || command -v "$1" >/dev/null || {
    echo "build-sysroot: missing $1 (Debian package $2)" >&2
    exit 1
  }
}
need "${cross}gcc" "$gcc_package"
[ "$libc" != uclibc ] || need "$uclibc_tarball" uclibc-source
need python3 python3
need bzip2 bzip2
if [ "$float" = soft ]; then
  gcc_tarball=$(ls /usr/src/gcc-12/gcc-*.tar.xz 2>/dev/null | head -n 1)
  need "${gcc_tarball:-/usr/src/gcc-12/gcc-12.tar.xz}" gcc-12-source
fi

work=$(mktemp -d "$cache_dir/build.XXXXXX")
log=$cache_dir/$name.log
echo "build-sysroot: building $libc for $arch, $float-float, into $sysroot (log: $log)" >&2
start=$SECONDS
# From here on everything goes to the log; fd 3 and 4 keep the caller's
# stdout and stderr. (Not `{ ...; } || fail`: bash ignores set -e there.)
exec 3>&1 4>&2 >"$log" 2>&1
trap 'status=$?; rm -rf "$work"
  [ $status -eq 0 ] || echo "build-sysroot: failed, see $log" >&4' EXIT

no_fpu() { # [--files] FILE...
  local files=()
  [ "$1" != --files ] || { files=(--files); shift; }
  python3 "$here/fpu_scan.py" "${files[@]}" "${cross}objdump" "$@"
}

# usr/lib/libgcc: the compiler runtime (libgcc.a and the crtbegin/crtend
# objects) that both the C library and the tool link against.
build_runtime() {
  local out=$work/sysroot/usr/lib/libgcc gcc_dir
  gcc_dir=$(dirname "$("${cross}gcc" -print-libgcc-file-name)")
  mkdir -p "$out"
  cp "$gcc_dir"/crtbegin.o "$gcc_dir"/crtbeginS.o "$gcc_dir"/crtbeginT.o \
    "$gcc_dir"/crtend.o "$gcc_dir"/crtendS.o "$out/"
  if [ "$float" = hard ]; then
    cp "$gcc_dir/libgcc.a" "$out/"
    return
  fi

  local src=$work/gcc/libgcc members=$work/libgcc-members objects=$work/softfp
  mkdir -p "$work/gcc" "$members" "$objects"
  tar -xf "$gcc_tarball" -C "$work/gcc" --strip-components=1 --wildcards \
    '*/libgcc/soft-fp/*' '*/libgcc/config/mips/sfp-machine.h' '*/include/longlong.h'
  # The float modes, conversions and comparisons that GCC calls for float
  # and double on 32-bit MIPS (no long double beyond double there).
  local funcs=(extendsfdf2 truncdfsf2)
  for mode in sf df; do
    funcs+=("add${mode}3" "sub${mode}3" "mul${mode}3" "div${mode}3" "neg${mode}2"
      "eq${mode}2" "ge${mode}2" "le${mode}2" "unord${mode}2")
    for int in si di; do
      funcs+=("fix$mode$int" "fixuns$mode$int" "float$int$mode" "floatun$int$mode")
    done
  done
  for func in "${funcs[@]}"; do
    # Hidden, as in GCC's own libgcc.a: a shared C library that links
    # these in must not export them. -Os: no router C library exports them
    # either, so every dynamic binary carries its own copies.
    "${cross}gcc" -Os "${cpu_flags[@]}" -fPIC -fvisibility=hidden \
      -I"$src/soft-fp" -I"$src/config/mips" -I"$work/gcc/include" \
      -c "$src/soft-fp/$func.c" -o "$objects/$func.o"
  done

  # Debian's libgcc minus every member that uses the FPU or that soft-fp
  # replaces; what stays is integer code (64-bit division, bit counts,
  # atomics). Its hard-float ABI tags go, so the linker sees no mix.
  (cd "$members" && "${cross}ar" x "$gcc_dir/libgcc.a")
  no_fpu --files "$members"/*.o | xargs -r rm || true
  for object in "$objects"/*.o; do
    rm -f "$members/${object##*/}" "$members/_${object##*/}"
  done
  for object in "$members"/*.o "$out"/crt*.o; do
    "${cross}objcopy" -R .gnu.attributes -R .MIPS.abiflags "$object"
  done
  "${cross}ar" rcs "$out/libgcc.a" "$objects"/*.o "$members"/*.o
}

build_musl() {
  local root=$work/sysroot
  mkdir -p "$root/usr/include" "$root/usr/lib"
  if [ "$float" = hard ]; then
    bash "$here/debian-package.sh" deb musl-dev "$debian_arch" "$work/musl-dev"
    cp -a "$work"/musl-dev/usr/include/*-linux-musl*/. "$root/usr/include/"
    cp -a "$work"/musl-dev/usr/lib/*-linux-musl*/. "$root/usr/lib/"
    return
  fi
  # No Debian port is soft-float: built from the same source, against the
  # sysroot's soft-float runtime. musl picks its "sf" variant from
  # -msoft-float.
  bash "$here/debian-package.sh" source musl "$work/musl"
  cd "$work/musl"
  ./configure --target="${cross%-}" --prefix=/usr --disable-shared \
    CROSS_COMPILE="$cross" CC="${cross}gcc" CFLAGS="${cpu_flags[*]}" \
    LIBCC="$root/usr/lib/libgcc/libgcc.a"
  grep -q '^SUBARCH = .*-sf$' config.mak
  make -j"$(nproc)"
  make DESTDIR="$root" install
}

build_uclibc() {
  # Debian mixes the MIPS kernel headers with glibc's; uClibc must see the
  # kernel ones alone or it picks up glibc headers.
  local headers=$work/kernel-headers
  mkdir -p "$headers"
  for dir in linux asm asm-generic mtd; do
    cp -a "/usr/${cross%-}/include/$dir" "$headers/"
  done

  tar -xf "$uclibc_tarball" -C "$work"
  cd "$work"/uClibc-ng-*
  make ARCH=mips defconfig
  local endian=(-e 's|^ARCH_WANTS_BIG_ENDIAN=y|# ARCH_WANTS_BIG_ENDIAN is not set|'
    -e 's|^# ARCH_WANTS_LITTLE_ENDIAN is not set|ARCH_WANTS_LITTLE_ENDIAN=y|')
  [ "$arch" = mipsel ] || endian=()
  local fpu=(-e 's|^UCLIBC_HAS_FPU=y|# UCLIBC_HAS_FPU is not set|')
  [ "$float" = soft ] || fpu=()
  # The mips defconfig leaves C99 maths off, and then there is no pow.
  sed -i \
    -e "s|^KERNEL_HEADERS=.*|KERNEL_HEADERS=\"$headers\"|" \
    -e "s|^CROSS_COMPILER_PREFIX=.*|CROSS_COMPILER_PREFIX=\"$cross\"|" \
    -e "s|^UCLIBC_EXTRA_CFLAGS=.*|UCLIBC_EXTRA_CFLAGS=\"-march=mips32r2\"|" \
    -e "s|^RUNTIME_PREFIX=.*|RUNTIME_PREFIX=\"/\"|" \
    -e "s|^DEVEL_PREFIX=.*|DEVEL_PREFIX=\"/usr/\"|" \
    -e "s|^# DO_C99_MATH is not set|DO_C99_MATH=y|" \
    "${endian[@]}" "${fpu[@]}" .config
  make ARCH=mips olddefconfig
  grep -q '^DO_C99_MATH=y' .config
  if [ "$float" = soft ]; then grep -q '^UCLIBC_HAS_SOFT_FLOAT=y' .config; fi
  if [ "$arch" = mipsel ]; then grep -q '^ARCH_LITTLE_ENDIAN=y' .config; fi

  # LIBGCC_A: link libc.so and ld-uClibc against the sysroot's runtime.
  local runtime=(LIBGCC_A="$work/sysroot/usr/lib/libgcc/libgcc.a")
  make ARCH=mips "${runtime[@]}" -j"$(nproc)"
  make ARCH=mips "${runtime[@]}" PREFIX="$work/sysroot" install
  cp -a "$headers"/* "$work/sysroot/usr/include/"
  # Without its own ld.so.cache, ld-uClibc under qemu reads the host's
  # glibc cache and calls it corrupt.
  make ARCH=mips hostutils
  mkdir -p "$work/sysroot/etc"
  utils/ldconfig.host -r "$work/sysroot"
}

# ash as OpenWrt builds it: arithmetic in 64 bits, echo, printf and test
# built in, its own glob (uClibc-ng's mangles backslashes), 64-bit file
# offsets (musl has no others).
BUSYBOX_OPTIONS=(STATIC LFS ASH SH_IS_ASH ASH_ECHO ASH_PRINTF ASH_TEST ASH_BASH_COMPAT
  ASH_INTERNAL_GLOB FEATURE_SH_MATH FEATURE_SH_MATH_64)

build_busybox() {
  local root=$work/sysroot lib=$work/sysroot/usr/lib cc=$work/cc flags
  flags="${cpu_flags[*]} -fno-pie -nostdinc"
  flags+=" -isystem $root/usr/include -isystem $("${cross}gcc" -print-file-name=include)"
  # Debian's cross gcc would take glibc's start files and libc: compiles
  # and partial links pass through, final links get the sysroot's.
  cat >"$cc" <<EOF
#!/bin/sh
for arg; do
  case \$arg in -c | -E | -S | -r | -nostdlib) exec ${cross}gcc $flags "\$@" ;; esac
done
exec ${cross}gcc $flags -nostdlib -static -no-pie $lib/crt1.o $lib/crti.o \\
  $lib/libgcc/crtbeginT.o "\$@" -L$lib -L$lib/libgcc -Wl,--start-group -lc -lgcc \\
  -Wl,--end-group $lib/libgcc/crtend.o $lib/crtn.o
EOF
  chmod +x "$cc"

  bash "$here/debian-package.sh" source busybox "$work/busybox"
  cd "$work/busybox"
  # The release's own date, not the build's, in the banner: the same
  # BusyBox from every build, so that its instruction counts repeat.
  SOURCE_DATE_EPOCH=$(stat -c %Y Makefile)
  export SOURCE_DATE_EPOCH
  make allnoconfig
  for option in "${BUSYBOX_OPTIONS[@]}"; do
    sed -i "s|^# CONFIG_$option is not set|CONFIG_$option=y|" .config
  done
  make oldconfig </dev/null
  for option in "${BUSYBOX_OPTIONS[@]}"; do grep -q "^CONFIG_$option=y" .config; done
  make CC="$cc" HOSTCC=gcc CROSS_COMPILE="$cross" -j"$(nproc)"
  mkdir -p "$root/bin"
  cp busybox "$root/bin/busybox"
}

build_runtime
build_$libc
build_busybox
# Object code only: libc.so is a linker script.
if [ "$float" = soft ]; then
  shopt -s nullglob # a static-only C library has no shared objects
  no_fpu "$work"/sysroot/usr/lib/libgcc/* "$work"/sysroot/usr/lib/*.a "$work"/sysroot/lib/*.so* \
    "$work"/sysroot/bin/busybox
  shopt -u nullglob
fi

touch "$work/sysroot/.complete"
rm -rf "$sysroot"
mv -T "$work/sysroot" "$sysroot"
echo "build-sysroot: done in $((SECONDS - start)) s" >&4
echo "$sysroot" >&3
