#!/bin/sh
# ip4add against the router's own shell arithmetic: 64-bit $(( )) masked to
# 32 bits, as OpenWrt's lib/functions/ipv4.sh computes addresses. Offsets
# span the whole range -(2^32-1)..2^32-1: the ends and the middle, random
# ones, and differences of two random addresses, which must lead from one
# exactly to the other. Run by the router's shell (BusyBox ash) under the
# emulator and by dash on the host; prints what shell_arith.expected holds.

quad() { # integer 0..2^32-1 -> dotted quad
    echo "$(($1 >> 24 & 255)).$(($1 >> 16 & 255)).$(($1 >> 8 & 255)).$(($1 & 255))"
}

cases=0
mismatches=0
check() { # offset address-as-integer
    want=$(quad $(((($2 + $1)) & 0xffffffff)))
    got=$(ip4add "$1" "$(quad "$2")") || got="status $?"
    cases=$((cases + 1))
    if [ "$got" != "$want" ]; then
        mismatches=$((mismatches + 1))
        echo "mismatch: ip4add $1 $(quad "$2") gave $got, the shell gives $want"
    fi
}

# A fixed linear congruential sequence: the same cases on every run and
# every shell (no $RANDOM in POSIX sh). Products stay below 2^63.
seed=20261208
draw() {
    seed=$(((seed * 1103515245 + 12345) & 0xffffffff))
}

for offset in -4294967295 -4294967294 -2147483649 -2147483648 -1 0 1 \
    2147483647 2147483648 4294967294 4294967295; do
    for address in 0 4294967295 2147483647 2147483648 167772161; do
        check "$offset" "$address"
    done
done

i=0
while [ $i -lt 60 ]; do
    draw; from=$seed
    draw; to=$seed
    check $((to - from)) "$from"
    draw; offset=$seed
    draw
    check $((offset - seed)) "$from"
    i=$((i + 1))
done

echo "$cases cases, $mismatches mismatches"
