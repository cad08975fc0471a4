#!/usr/bin/env bash
# Builds a MIPS32r2 big-endian uClibc-ng sysroot from Debian's uclibc-source
# with Debian's mips-linux-gnu cross compiler, and prints its path.
#
# The result lives in a cache folder outside the checkout, keyed by this
# script's own hash: it is built when missing or when this script changes,
# otherwise the call returns at once. Build output goes to a log file.
#
# usage: build-uclibc-sysroot.sh [CACHE_DIR]
set -euo pipefail

TARBALL=/usr/src/uClibc-ng-1.0.35.tar.xz
CROSS=mips-linux-gnu-
cache_dir=${1:-${IP4ADD_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/ip4add}}
key=$(sha256sum "${BASH_SOURCE[0]}" | cut -c1-12)
sysroot=$cache_dir/uclibc-ng-1.0.35-$key

if [ -f "$sysroot/.complete" ]; then
  echo "$sysroot"
  exit 0
fi

for tool in "$TARBALL" "$(command -v ${CROSS}gcc || true)"; do
  [ -e "$tool" ] || {
    echo "build-uclibc-sysroot: missing $tool (packages uclibc-source, gcc-mips-linux-gnu)" >&2
    exit 1
  }
done

mkdir -p "$cache_dir"
work=$(mktemp -d "$cache_dir/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$cache_dir/uclibc-build.log
echo "build-uclibc-sysroot: building into $sysroot (log: $log)" >&2

{
  # Debian mixes the MIPS kernel headers with glibc's; uClibc must see the
  # kernel ones alone or it picks up glibc headers.
  mkdir -p "$work/kernel-headers" "$work/sysroot"
  for dir in linux asm asm-generic mtd; do
    cp -a "/usr/${CROSS%-}/include/$dir" "$work/kernel-headers/"
  done

  tar -xf "$TARBALL" -C "$work"
  cd "$work"/uClibc-ng-*
  make ARCH=mips defconfig
  # The mips defconfig leaves C99 maths off, and then there is no pow.
  sed -i \
    -e "s|^KERNEL_HEADERS=.*|KERNEL_HEADERS=\"$work/kernel-headers\"|" \
    -e "s|^CROSS_COMPILER_PREFIX=.*|CROSS_COMPILER_PREFIX=\"$CROSS\"|" \
    -e "s|^UCLIBC_EXTRA_CFLAGS=.*|UCLIBC_EXTRA_CFLAGS=\"-march=mips32r2\"|" \
    -e "s|^RUNTIME_PREFIX=.*|RUNTIME_PREFIX=\"/\"|" \
    -e "s|^DEVEL_PREFIX=.*|DEVEL_PREFIX=\"/usr/\"|" \
    -e "s|^# DO_C99_MATH is not set|DO_C99_MATH=y|" \
    .config
  grep -q '^DO_C99_MATH=y' .config
  yes "" | make ARCH=mips oldconfig
  make ARCH=mips -j"$(nproc)"
  make ARCH=mips PREFIX="$work/sysroot" install
  cp -a "$work"/kernel-headers/* "$work/sysroot/usr/include/"
  # Without its own ld.so.cache, ld-uClibc under qemu reads the host's
  # glibc cache and calls it corrupt.
  make ARCH=mips hostutils
  mkdir -p "$work/sysroot/etc"
  utils/ldconfig.host -r "$work/sysroot"
} >"$log" 2>&1 || {
  echo "build-uclibc-sysroot: build failed, see $log" >&2
  exit 1
}

touch "$work/sysroot/.complete"
rm -rf "$sysroot"
mv "$work/sysroot" "$sysroot"
echo "$sysroot"
