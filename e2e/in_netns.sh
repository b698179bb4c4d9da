#!/bin/sh
# Runs a test program in a network namespace of its own (loopback up), so
# fixed ports such as the alarm port cannot collide with other programs on
# the machine. Where namespaces cannot be made, runs it as it is.
if [ -z "${QRV_NO_NETNS:-}" ] && unshare -rn true 2>/dev/null; then
  exec unshare -rn sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
exec "$@"
