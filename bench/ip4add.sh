#!/bin/sh
# What a user would write instead of ip4add: a POSIX shell function, no
# external commands (run under dash for the comparison).
ip4add() {
    rest=$2
    a=${rest%%.*}; rest=${rest#*.}
    b=${rest%%.*}; rest=${rest#*.}
    c=${rest%%.*}; d=${rest#*.}
    v=$(( ((a << 24) + (b << 16) + (c << 8) + d + $1) & 0xFFFFFFFF ))
    echo "$((v >> 24 & 255)).$((v >> 16 & 255)).$((v >> 8 & 255)).$((v & 255))"
}
ip4add "$@"
