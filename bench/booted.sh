#!/bin/sh
# /init of the booted benchmark: loops of calls as a router script makes
# them, each between two marks (bench/mark.S) that the counting plugin
# (bench/boot_count.c) takes the user and kernel counts at. Prints the
# loops' names in order; scripts/bench_booted.py pairs them with the marks.
export PATH=/bin LC_ALL=C
mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mkdir -p /tmp
read -r calls </calls

# The same shift as a function of the router's own shell, ip4add: the one
# of bench/ip4add.sh. The files under test are called by their paths.
. /function.sh

# NAME COMMAND...: COMMAND run $calls times with its output appended to a
# file, then captured with $(...), each loop between two marks.
loop() {
  name=$1
  shift
  echo "bench-loop $name-file"
  mark
  i=0
  while [ $i -lt "$calls" ]; do
    "$@" >>/tmp/out
    i=$((i + 1))
  done
  mark
  echo "bench-loop $name-capture"
  mark
  i=0
  while [ $i -lt "$calls" ]; do
    r=$("$@")
    i=$((i + 1))
  done
  mark
  case $name in empty | noop-*) ;; *) [ "$r" = 10.0.0.6 ] ;; esac || echo "bench-wrong $name gave '$r'"
}

echo "bench-kernel $(uname -r) $(uname -m)"
loop empty :
# Each linkage's files right after its empty program, static first.
for linkage in static dynamic; do
  loop "noop-$linkage" "/bin/noop-$linkage"
  for file in "/bin/ip4add-$linkage" "/bin/ip4add-$linkage-malloc"; do
    loop "${file#/bin/}" "$file" 5 10.0.0.1
  done
done
loop function ip4add 5 10.0.0.1

# Page faults of one call each: what the kernel does for a file's pages.
for file in /bin/noop-static /bin/noop-dynamic /bin/ip4add-*; do
  time -v "$file" 5 10.0.0.1 2>/tmp/time >/dev/null
  while read -r line; do
    case $line in *"page faults"*) echo "bench-faults ${file#/bin/} $line" ;; esac
  done </tmp/time
done
echo bench-done
poweroff -f
