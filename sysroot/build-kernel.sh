#!/usr/bin/env bash
# Provides a router CPU's Linux kernel for booted-guest tests, cached like a
# sysroot, and prints the path of the image that qemu-system boots.
#
# usage: build-kernel.sh --debian PACKAGE --arch ARCH [--cache DIR]
#        build-kernel.sh --malta TRIPLET [--cache DIR]
#   --debian  Debian's own kernel: PACKAGE is the meta-package
#             (linux-image-armmp), resolved to the versioned one that the
#             archive holds today; ARCH its Debian architecture.
#   --malta   a minimal kernel for qemu's Malta board, built from Debian's
#             linux-source-6.1 with the cross compiler TRIPLET-gcc; the
#             byte order follows TRIPLET. Debian has no big-endian MIPS
#             kernel. Starts from allnoconfig (malta_defconfig would build
#             in every module) and adds only what a guest needs.
#
# The image lives in a cache folder outside the checkout, keyed by the
# arguments and this script (and so by the kernel's configuration).
set -euo pipefail

usage() {
  sed -n '/^# usage:/,/^#$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2
  exit 2
}
package= arch= triplet= cache_dir=
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
  --debian) package=$2 ;;
  --arch) arch=$2 ;;
  --malta) triplet=$2 ;;
  --cache) cache_dir=$2 ;;
  *) usage ;;
  esac
  shift 2
done
[ -n "$package$triplet" ] && [ -z "$package" -o -n "$arch" ] || usage

# What a guest's /init and its checks need: the board's serial console and
# power-off, an initramfs that starts a script, device nodes, ptys, /proc,
# and debugfs for the FPU emulator's counters.
MALTA_OPTIONS=(MIPS_MALTA CPU_MIPS32_R2 PCI POWER_RESET POWER_RESET_PIIX4_POWEROFF TTY
  SERIAL_8250 SERIAL_8250_CONSOLE PRINTK BLK_DEV_INITRD BINFMT_ELF BINFMT_SCRIPT DEVTMPFS
  UNIX98_PTYS PROC_FS SYSFS DEBUG_FS MIPS_FP_SUPPORT)

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cache_dir=${cache_dir:-${IP4ADD_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/ip4add}}
key=$({
  echo "$package $arch $triplet"
  cat "${BASH_SOURCE[0]}" "$here/debian-package.sh"
} | sha256sum | cut -c1-12)
name=kernel-${package:-malta-$triplet}-$key
folder=$cache_dir/$name

mkdir -p "$cache_dir"
exec 9>"$folder.lock"
flock 9
if [ -f "$folder/.complete" ]; then
  echo "$folder/vmlinux"
  exit 0
fi

need() { # command package
  command -v "$1" >/dev/null || {
    echo "build-kernel: missing $1 (Debian package $2)" >&2
    exit 1
  }
}
work=$(mktemp -d "$cache_dir/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$cache_dir/$name.log
start=$SECONDS
mkdir -p "$work/out"
if [ -n "$package" ]; then
  echo "build-kernel: fetching Debian's $package for $arch" >&2
  versioned=$(bash "$here/debian-package.sh" depends "$package" "$arch" 2>>"$log" |
    sed -n 's/^\(linux-image-[^ ,]*\).*/\1/p')
  [ -n "$versioned" ] || {
    echo "build-kernel: $package names no linux-image package (log: $log)" >&2
    exit 1
  }
  bash "$here/debian-package.sh" deb "$versioned" "$arch" "$work/deb" 2>>"$log"
  cp "$work/deb"/boot/vmlinuz-* "$work/out/vmlinux"
  echo "$versioned" >"$work/out/version"
else
  cross=$triplet-
  need "${cross}gcc" "gcc-$triplet"
  need flex flex
  need bison bison
  need bc bc
  endian=CPU_BIG_ENDIAN
  case $triplet in mipsel-*) endian=CPU_LITTLE_ENDIAN ;; mips-*) ;; *) usage ;; esac
  echo "build-kernel: building a Malta kernel for $triplet (log: $log)" >&2
  bash "$here/debian-package.sh" deb linux-source-6.1 amd64 "$work/deb" 2>>"$log"
  tar -xf "$work"/deb/usr/src/linux-source-*.tar.xz -C "$work"
  cd "$work"/linux-source-*
  make_kernel() { make ARCH=mips CROSS_COMPILE="$cross" KBUILD_BUILD_TIMESTAMP=@0 \
    KBUILD_BUILD_USER=ip4add KBUILD_BUILD_HOST=ip4add "$@" >>"$log" 2>&1; }
  make_kernel allnoconfig
  scripts/config --disable MIPS_GENERIC_KERNEL
  for option in "${MALTA_OPTIONS[@]}" "$endian"; do
    scripts/config --enable "$option"
  done
  make_kernel olddefconfig
  # An option whose dependencies are missing silently stays off: refuse that.
  for option in "${MALTA_OPTIONS[@]}" "$endian"; do
    grep -qx "CONFIG_$option=y" .config || {
      echo "build-kernel: CONFIG_$option did not stay on (log: $log)" >&2
      exit 1
    }
  done
  make_kernel -j"$(nproc)" vmlinux
  cp vmlinux "$work/out/vmlinux"
  cp .config "$work/out/config"
  echo "linux-source-6.1 $(make -s kernelversion) malta $triplet" >"$work/out/version"
fi
touch "$work/out/.complete"
rm -rf "$folder"
mv -T "$work/out" "$folder"
echo "build-kernel: done in $((SECONDS - start)) s" >&2
echo "$folder/vmlinux"
