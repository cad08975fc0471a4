#!/bin/sh
# ip4add used the way router scripts use it (DHCP pools, gateways, static
# leases, refused input), run by the router's own shell, BusyBox ash, under
# the emulator, and by dash on the host. Takes ip4add from PATH and prints
# what router.expected holds.

# A DHCP pool given as a start and a count from the network address, as
# OpenWrt's dhcp configuration gives it.
network=192.168.1.0
start=100
limit=150
first=$(ip4add "$start" "$network") || exit 1
last=$(ip4add "$((start + limit - 1))" "$network") || exit 1
echo "dhcp-range=$first,$last"

# The gateway and the broadcast address of a /24.
lan=10.20.30.0
echo "gateway $(ip4add 1 "$lan") broadcast $(ip4add 255 "$lan")"

# Static leases handed out in a loop, across an octet boundary.
host=10.0.0.253
for name in camera printer nas tv; do
    echo "$name $host"
    host=$(ip4add 1 "$host")
done

# A range walked down to its start, one address at a time.
address=172.16.0.2
while [ "$address" != 172.15.255.254 ]; do
    address=$(ip4add -1 "$address")
    printf '%s ' "$address"
done
echo

# Round the ends of the address space.
echo "$(ip4add -1 0.0.0.0) $(ip4add 1 255.255.255.255)"

# The status alone tells a refused address; its message goes to stderr.
for candidate in 192.168.1.1 192.168.1 wan0; do
    if next=$(ip4add 1 "$candidate" 2>/dev/null); then
        echo "$candidate: next $next"
    else
        echo "$candidate: refused, status $?"
    fi
done
message=$(ip4add 1 wan0 2>&1 >/dev/null)
echo "stderr: $message"

# A missing argument: the usage line on stdout, status 1.
usage=$(ip4add 1)
echo "status $?: $usage"
