#!/usr/bin/env bash
# Unpacks the upstream source of one Debian source package into a folder.
#
# usage: debian-source.sh PACKAGE DEST [MEMBER...]
#   PACKAGE  a source package of the machine's own Debian release (busybox,
#            qemu, musl...)
#   DEST     folder to unpack into; the tarball's top folder is stripped
#   MEMBER   shell patterns for the tarball members to unpack (default: all)
#
# apt-get fetches it from the same archive as the machine's binary packages,
# through a private configuration that turns each of the machine's deb
# entries into a deb-src one: the machine's own apt sources stay untouched,
# and no root is needed. Debian's patches are not applied: what is built is
# the upstream release that Debian ships.
set -euo pipefail

[ $# -ge 2 ] || {
  echo "usage: debian-source.sh PACKAGE DEST [MEMBER...]" >&2
  exit 2
}
package=$1 dest=$2
shift 2

apt=$(mktemp -d)
trap 'rm -rf "$apt"' EXIT
mkdir -p "$apt/parts" "$apt/lists/partial" "$apt/download"
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$file" ] || continue
  sed -n 's/^deb /deb-src /p' "$file" >>"$apt/parts/machine.list"
done
for file in /etc/apt/sources.list.d/*.sources; do
  [ -f "$file" ] || continue
  sed 's/^Types:.*/Types: deb-src/' "$file" >"$apt/parts/${file##*/}"
done
options=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt/parts"
  -o "Dir::State::Lists=$apt/lists" -o Debug::NoLocking=true -o APT::Sandbox::User=root)

apt-get "${options[@]}" -qq update >&2
(cd "$apt/download" && apt-get "${options[@]}" -qq source --download-only "$package" >&2)
tarball=$(ls "$apt/download/${package}"_*.orig.tar.* | head -n 1)
mkdir -p "$dest"
tar -xf "$tarball" -C "$dest" --strip-components=1 --wildcards "$@"
