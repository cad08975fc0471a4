#!/usr/bin/env bash
# Unpacks a Debian package into a folder: the upstream source of a source
# package, or the files of a binary package built for any architecture.
#
# usage: debian-package.sh [--suite SUITE] source PACKAGE DEST [MEMBER...]
#        debian-package.sh deb PACKAGE ARCH DEST
#        debian-package.sh depends PACKAGE ARCH
#   --suite  another Debian release (trixie) of the same archive, in place
#            of the machine's own
#   source   the upstream tarball of a source package of the machine's own
#            Debian release (busybox, qemu, musl...), its top folder
#            stripped; MEMBER patterns pick members (default: all).
#            Debian's patches are not applied: what is built is the
#            upstream release that Debian ships.
#   deb      the files of binary package PACKAGE for Debian architecture
#            ARCH (armhf, arm64, amd64...; any one for an architecture-
#            independent package), unpacked with dpkg-deb, not
#            installed.
#   depends  prints what binary package PACKAGE for ARCH depends on: a
#            meta-package (linux-image-armmp) names the versioned package
#            that the archive holds today.
#
# apt-get fetches from the same archive as the machine's own packages,
# through a private configuration made from the machine's deb entries (as
# deb-src ones for sources): the machine's apt sources, architectures and
# package database stay untouched, and no root is needed.
set -euo pipefail

usage() {
  echo "usage: debian-package.sh [--suite SUITE] source PACKAGE DEST [MEMBER...]" >&2
  echo "       debian-package.sh deb PACKAGE ARCH DEST" >&2
  echo "       debian-package.sh depends PACKAGE ARCH" >&2
  exit 2
}
suite=
if [ "${1:-}" = --suite ]; then
  [ $# -ge 2 ] || usage
  suite=$2 && shift 2
fi
[ $# -ge 3 ] || usage
kind=$1 package=$2
case $kind in
source) dest=$3 && shift 3 ;;
deb) [ $# -eq 4 ] || usage && arch=$3 dest=$4 ;;
depends) [ $# -eq 3 ] || usage && arch=$3 dest= ;;
*) usage ;;
esac

apt=$(mktemp -d)
trap 'rm -rf "$apt"' EXIT
mkdir -p "$apt/parts" "$apt/lists/partial" "$apt/download"
type=deb
[ "$kind" != source ] || type=deb-src
# Another release: the machine's suite names (bookworm, bookworm-updates,
# bookworm-security) with its name in place of the machine's.
rename=()
if [ -n "$suite" ]; then
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  rename=(-e "s/\b$codename\b/$suite/g")
fi
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$file" ] || continue
  sed -n "${rename[@]}" -e "s/^deb /$type /p" "$file" >>"$apt/parts/machine.list"
done
for file in /etc/apt/sources.list.d/*.sources; do
  [ -f "$file" ] || continue
  sed "${rename[@]}" -e "s/^Types:.*/Types: $type/" "$file" >"$apt/parts/${file##*/}"
done
options=(-qq -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt/parts"
  -o "Dir::State::Lists=$apt/lists" -o Debug::NoLocking=true -o APT::Sandbox::User=root)
[ "$kind" = source ] || options+=(-o "APT::Architectures::=$arch" -o Dir::State::status=/dev/null)

# A mirror caught in its sync can serve one suite's index for one
# architecture at a size its Release does not list (apt: "Mirror sync in
# progress?"), for days: apt then leaves that index out and fails the
# update. What it did fetch is still checked against its Release, and
# every package comes with the hash of the index that names it, so go on
# with those; a package that only the missing index names is not found.
apt-get "${options[@]}" update >&2 ||
  echo "debian-package: some of the archive's indices could not be fetched; using the others" >&2
[ -z "$dest" ] || mkdir -p "$dest"
cd "$apt/download"
if [ "$kind" = source ]; then
  apt-get "${options[@]}" source --download-only "$package" >&2
  tarball=$(ls "${package}"_*.orig.tar.* | head -n 1)
  tar -xf "$tarball" -C "$dest" --strip-components=1 --wildcards "$@"
else
  apt-get "${options[@]}" download "$package:$arch" >&2
  # An architecture-independent package comes as PACKAGE_VERSION_all.deb.
  deb=$(ls "${package}"_*.deb)
  if [ "$kind" = depends ]; then
    dpkg-deb -f "$deb" Depends
  else
    dpkg-deb -x "$deb" "$dest"
  fi
fi
