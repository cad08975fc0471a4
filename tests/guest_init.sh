#!/bin/sh
# /init of a booted test guest: the router's kernel, BusyBox and the files
# under test. Runs the cases that run_guest.py wrote into /cases, the
# checks that need the kernel itself, prints every result on the console
# and powers the guest off. Nothing here judges: the host compares.
export PATH=/bin LC_ALL=C
mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mount -t sysfs sys /sys
mkdir -p /dev/pts /tmp
mount -t devpts pts /dev/pts
mount -t debugfs debug /sys/kernel/debug 2>/dev/null

# Debian's MIPS kernels emulate FPU instructions instead of killing the
# program: a soft-float file that strays into FPU code shows only here.
counter=/sys/kernel/debug/mips/fpuemustats/emulated
emulated() {
  if [ -r $counter ]; then cat $counter; else echo -; fi
}

echo "guest-kernel $(uname -r) $(uname -m)"
before=$(emulated)
ip4add_guest_run /cases

# A reader that has gone before the result is written: the shell sees the
# tool killed by SIGPIPE.
(
  sleep 1
  ip4add 5 10.0.0.1
  echo $? >/tmp/pipe
) | true
echo "guest-pipe $(cat /tmp/pipe)"

echo "guest-fpu $before $(emulated)"
# The control: the counter must move for a program that uses the FPU, or its
# standing still above proves nothing.
if [ -x /bin/fpu_probe ]; then
  before=$(emulated)
  fpu_probe
  echo "guest-fpu-probe $before $(emulated)"
fi
echo guest-done
poweroff -f
