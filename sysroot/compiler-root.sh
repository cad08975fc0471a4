#!/usr/bin/env bash
# Makes the cross compiler of another Debian release usable here and prints
# the folder of its commands. For the targets that this machine's Debian has
# no compiler for (LoongArch: Debian 13 has one, Debian 12 has not).
#
# usage: compiler-root.sh --suite SUITE --triplet TRIPLET [--cache DIR]
#   --suite    the Debian release (trixie) whose TRIPLET-gcc, TRIPLET-g++
#              and binutils are taken, from the same archive as this
#              machine's packages
#   --triplet  the compiler's target
#
# mmdebstrap makes a bare root of that release holding the compiler; the
# printed folder holds one command per tool (TRIPLET-gcc, -g++, -ar,
# -readelf, -strip ...), each of which runs the root's tool with the root's
# /usr in place of this machine's, in a mount namespace of its own: its
# programs and libraries are the other release's, every other path (the
# sources, the build folders, the sysroot) is this machine's, as written.
# That takes root, or user namespaces for a user. What the compiler prints
# of its own files (gcc -print-libgcc-file-name) is a path under /usr as the
# root has it: ROOT/usr beside the printed folder holds it here.
#
# Cached like the sysroots, keyed by the arguments and this script; built
# once, under a lock, and appearing in one rename.
set -euo pipefail

usage() {
  sed -n '/^# usage:/,/^#$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2
  exit 2
}
suite= triplet= cache_dir=
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
  --suite) suite=$2 ;;
  --triplet) triplet=$2 ;;
  --cache) cache_dir=$2 ;;
  *) usage ;;
  esac
  shift 2
done
[ -n "$suite" ] && [ -n "$triplet" ] || usage

cache_dir=${cache_dir:-${IP4ADD_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/ip4add}}
key=$({
  echo "$suite $triplet"
  cat "${BASH_SOURCE[0]}"
} | sha256sum | cut -c1-12)
name=compiler-$suite-$triplet-$key
out=$cache_dir/$name
mkdir -p "$cache_dir"
exec 9>"$out.lock"
flock 9
if [ -f "$out/.complete" ]; then
  echo "$out/bin"
  exit 0
fi
command -v mmdebstrap >/dev/null || {
  echo "compiler-root: missing mmdebstrap (Debian package mmdebstrap)" >&2
  exit 1
}

# The machine's own Debian archive, for the other release.
mirror=$(sed -n 's/^URIs: *\(.*\/debian\)\/*$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
  head -n 1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb \[\{0,1\}[^]]*\]\{0,1\} *\(http[^ ]*\/debian\)\/* .*/\1/p' \
  /etc/apt/sources.list 2>/dev/null | head -n 1)
mirror=${mirror:-http://deb.debian.org/debian}

work=$(mktemp -d "$cache_dir/build.XXXXXX")
log=$cache_dir/$name.log
trap 'status=$?; rm -rf "$work"
  [ $status -eq 0 ] || echo "compiler-root: failed, see $log" >&2' EXIT
echo "compiler-root: $suite's $triplet-gcc into $out (log: $log)" >&2
start=$SECONDS
# The archive reachable here may be a dated snapshot, whose Release files
# have expired: apt is told not to check their dates. No documentation,
# nothing the compiler does not need.
mmdebstrap --variant=essential \
  --include="gcc-$triplet,g++-$triplet,binutils-$triplet" \
  --aptopt='Acquire::Check-Valid-Until "false"' \
  --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
  --dpkgopt='path-exclude=/usr/share/locale/*' \
  "$suite" "$work/root" "$mirror" >"$log" 2>&1

mkdir -p "$work/bin"
for tool in gcc g++ cpp ar as ld nm objcopy objdump ranlib readelf size strings strip; do
  [ -e "$work/root/usr/bin/$triplet-$tool" ] || continue
  # The root is found beside the command, wherever the cache stands.
  cat >"$work/bin/$triplet-$tool" <<EOF
#!/bin/sh
# $suite's $triplet-$tool, with $suite's /usr (compiler-root.sh).
usr=\$(dirname "\$(readlink -f "\$0")")/../root/usr
[ "\$(id -u)" = 0 ] && user= || user=--map-root-user
exec unshare --mount \$user sh -c 'mount --bind "\$0" /usr && exec "\$@"' "\$usr" \\
  /usr/bin/$triplet-$tool "\$@"
EOF
  chmod 755 "$work/bin/$triplet-$tool"
done
"$work/bin/$triplet-gcc" --version | head -n 1 >"$work/version"
echo "compiler-root: $(cat "$work/version") in $((SECONDS - start)) s" >&2

touch "$work/.complete"
rm -rf "$out"
mv -T "$work" "$out"
echo "$out/bin"
