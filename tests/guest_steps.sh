#!/bin/sh
# /init of the release's booted guest for the README's router steps: the
# router's kernel and BusyBox, a folder /release with release files and
# SHA256SUMS as a user copies them, and /steps.sh, the README's blocks as
# written between markers (scripts/release.py writes it and judges the
# console). The steps run in one ash, as a user types them in one session,
# with OpenWrt's PATH, in which /usr/bin holds no ip4add yet.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C
mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mkdir -p /tmp /usr/bin
cd /release && ash /steps.sh 2>&1
echo "steps-status $?"
poweroff -f
