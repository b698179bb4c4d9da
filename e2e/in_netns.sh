#!/bin/sh
# Runs a test program in a network namespace of its own (loopback up), so
# fixed ports such as the alarm port cannot collide with other programs on
# the machine. Loopback also carries multicast there (WS-Discovery's group),
# which never leaves the namespace. Where namespaces cannot be made, runs it
# as it is. Root makes one directly: user namespaces, which others need, are
# refused inside a chroot.
netns="unshare -rn"
[ "$(id -u)" -eq 0 ] && netns="unshare -n"
if [ -z "${QRV_NO_NETNS:-}" ] && $netns true 2>/dev/null; then
  exec $netns sh -c 'ip link set lo up && ip link set lo multicast on &&
    ip route add 224.0.0.0/4 dev lo && exec "$@"' sh "$@"
fi
exec "$@"
