#!/bin/sh
# Runs the npm-client interop test against one simulated device inside a
# network namespace of its own, so the device can take the fixed ONVIF ports
# (HTTP 80, WS-Discovery multicast on 3702) without touching the machine's.
# Usage: run_interop.sh SIMULATOR_BINARY
set -eu
here=$(cd "$(dirname "$0")" && pwd)
simulator=$1

if [ -z "${QRV_IN_NETNS:-}" ]; then
  command -v node >/dev/null || { echo "onvif interop: node is not installed" >&2; exit 1; }
  [ -f "$here/node_modules/.complete" ] || python3 "$here/fetch_modules.py"
  netns="unshare -rn"
  [ "$(id -u)" -eq 0 ] && netns="unshare -n"
  if ! $netns true 2>/dev/null; then
    echo "onvif interop: cannot make a network namespace ($netns)" >&2
    exit 1
  fi
  exec $netns env QRV_IN_NETNS=1 sh "$0" "$@"
fi

# Loopback carries the discovery group here: nothing leaves the namespace.
ip link set lo up
ip link set lo multicast on
ip route add 224.0.0.0/4 dev lo

log=$(mktemp)
"$simulator" -n 1 --base-address 127.0.0.10 --onvif-port 80 --onvif-multicast \
  --alarm-period-ms 300 --seconds 40 >"$log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; rm -f "$log"' EXIT
# Wait, bounded, for the simulator to report its device running.
i=0
until grep -q "running" "$log"; do
  i=$((i + 1))
  if [ $i -gt 100 ] || ! kill -0 $sim 2>/dev/null; then
    echo "onvif interop: the simulator did not start" >&2
    cat "$log" >&2
    exit 1
  fi
  sleep 0.1
done
QRV_ONVIF_HOST=127.0.0.10 QRV_ONVIF_PORT=80 node "$here/onvif_client.js"
