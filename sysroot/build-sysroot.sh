#!/usr/bin/env bash
# Builds a C library sysroot for one router target from Debian's packages and
# prints its path. cmake/cross.cmake calls it with the facts of the target's
# row in cmake/targets.cmake.
#
# usage: build-sysroot.sh --libc uclibc|musl --triplet TRIPLET --float hard|soft
#                         [--cpu "FLAGS"] [--debian-arch ARCH] [--cache DIR]
#   --libc         uclibc: uClibc-ng 1.0.35 from Debian's uclibc-source (MIPS
#                  only); musl: musl 1.2.3, static only, from Debian's
#                  musl-dev of --debian-arch when given, else built from
#                  Debian's musl source
#   --triplet      Debian's cross compiler for the target (TRIPLET-gcc)
#   --float        soft: no FPU instruction anywhere in the sysroot (MIPS)
#   --cpu          the compiler flags of the target's instruction set and
#                  float ABI
#   --debian-arch  Debian's port of exactly this ABI (armhf, arm64, amd64)
#
# Debian's cross gcc has no soft-float runtime: its libgcc's floating-point
# helpers use the FPU. A soft-float sysroot therefore gets a libgcc of its
# own in usr/lib/libgcc: GCC's soft-fp routines from Debian's gcc-12-source,
# compiled -msoft-float, plus the integer-only members of Debian's libgcc.
# A hard-float sysroot gets Debian's libgcc there unchanged, so a link always
# takes its runtime from the sysroot. Nothing the sysroot holds may contain an
# FPU instruction when FLOAT is soft; the build checks it.
#
# usr/lib/ip4add.specs names the sysroot's headers, start files, C library
# and compiler runtime once, for every compile and link of C or C++ (gcc
# --sysroot=SYSROOT -specs=ip4add.specs), the way musl's own musl-gcc wrapper
# does: Debian's cross gcc would otherwise take glibc's, even with --sysroot.
#
# The sysroot also holds the router's shell: BusyBox (Debian's busybox
# source) with ash alone, linked statically against the new C library, as
# bin/busybox. Router-side scripts run in it under the emulator.
#
# The result lives in a cache folder outside the checkout, keyed by the
# arguments and this folder's scripts: built when missing or when they
# change, returned at once otherwise. Concurrent calls for one sysroot wait
# for each other; the finished folder appears in one rename.
set -euo pipefail

usage() {
  sed -n '/^# usage:/,/^#$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2
  exit 2
}
libc= triplet= float= cpu= debian_arch= cache_dir=
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
  --libc) libc=$2 ;;
  --triplet) triplet=$2 ;;
  --float) float=$2 ;;
  --cpu) cpu=$2 ;;
  --debian-arch) debian_arch=$2 ;;
  --cache) cache_dir=$2 ;;
  *) usage ;;
  esac
  shift 2
done
arch=${triplet%%-*}
cross=$triplet-
read -ra cpu_flags <<<"$cpu"
case $libc/$float/$arch in
uclibc/*/mips | uclibc/*/mipsel) ;;
musl/soft/mips | musl/soft/mipsel) ;;
musl/hard/*) [ -n "$debian_arch" ] || usage ;;
*) usage ;;
esac
gcc_package=gcc-$triplet
[ "$triplet" != "$(gcc -dumpmachine)" ] || gcc_package=gcc

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
uclibc_tarball=/usr/src/uClibc-ng-1.0.35.tar.xz
cache_dir=${cache_dir:-${IP4ADD_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/ip4add}}
key=$({
  echo "$libc $triplet $float $cpu $debian_arch"
  cat "${BASH_SOURCE[0]}" "$here"/{fpu_scan.py,debian-package.sh}
} | sha256sum | cut -c1-12)
name=$libc-$triplet-$float-$key
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
echo "build-sysroot: building $libc for $triplet ${cpu_flags[*]}, $float-float, into $sysroot (log: $log)" >&2
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
    -e "s|^UCLIBC_EXTRA_CFLAGS=.*|UCLIBC_EXTRA_CFLAGS=\"${cpu_flags[*]}\"|" \
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
  local root=$work/sysroot
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
  make CC="${cross}gcc --sysroot=$root -specs=ip4add.specs ${cpu_flags[*]}" HOSTCC=gcc \
    CROSS_COMPILE="$cross" -j"$(nproc)"
  mkdir -p "$root/bin"
  cp busybox "$root/bin/busybox"
}

# usr/lib/ip4add.specs: how gcc compiles and links against this sysroot,
# wherever it stands (%R is the sysroot that --sysroot names). No
# position-independent code: the links are -no-pie, so it would only cost
# size (on MIPS that takes -mno-shared as well, which GCC's driver adds by
# itself only when it sees -fno-pie on the command line). The C library
# comes before the compiler runtime, in one group when static. A musl
# sysroot links statically only.
write_specs() {
  local self="-fno-pie -no-pie" loader=
  case $arch in mips*) self+=" -mno-shared" ;; esac
  case $libc in
  musl) self+=" -static" ;;
  uclibc) loader="%{!static:-dynamic-linker /lib/ld-uClibc.so.0}" ;;
  esac
  cat >"$work/sysroot/usr/lib/ip4add.specs" <<EOF
%rename cpp_unique_options sysroot_cpp_unique_options
%rename link sysroot_link

*self_spec:
$self

*cpp_unique_options:
-nostdinc -isystem %R/usr/include -isystem include%s %(sysroot_cpp_unique_options)

*startfile:
%R/usr/lib/crt1.o %R/usr/lib/crti.o %{static:%R/usr/lib/libgcc/crtbeginT.o;:%R/usr/lib/libgcc/crtbegin.o}

*endfile:
%R/usr/lib/libgcc/crtend.o %R/usr/lib/crtn.o

*link_libgcc:
-L%R/usr/lib -L%R/usr/lib/libgcc

*libgcc:


*lib:
-lc -lgcc

*link:
%(sysroot_link) $loader
EOF
}

build_runtime
build_$libc
write_specs
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
