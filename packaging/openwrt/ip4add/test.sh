#!/bin/sh
# The feed's runtime test. Without it the feed's CI would check that
# "ip4add --version" prints the version, which it cannot: an offset that is
# no number counts as 0, so that prints the address back.
case "$1" in
ip4add)
	[ "$(ip4add 5 10.0.0.1)" = 10.0.0.6 ] &&
		[ "$(ip4add -1 0.0.0.0)" = 255.255.255.255 ] &&
		[ "$(ip4add 1 255.255.255.255)" = 0.0.0.0 ]
	;;
esac
