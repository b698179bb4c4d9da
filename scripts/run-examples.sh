#!/usr/bin/env bash
# Runs the example hosts (built out of tree against an installed plug-in) with
# one simulated device on loopback, and checks the recording decodes and the
# plug-in's debugger message reaches the file QRV_DEBUG_OUTPUT names.
#   scripts/run-examples.sh SIMULATOR MINIMAL_HOST CALLBACK_HOST PLUGIN OUT_DIR
# Needs root or user namespaces: it runs in its own network namespace, so the
# plug-in's fixed alarm port cannot clash with anything on the machine.
set -euo pipefail
simulator_program="$1"; minimal="$2"; callbacks="$3"; plugin="$4"; out="$5"
if [ "${QRV_IN_NETNS:-}" != 1 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare -n env QRV_IN_NETNS=1 "$0" "$@"
  else
    exec unshare -rn env QRV_IN_NETNS=1 "$0" "$@"
  fi
fi
ip link set lo up
mkdir -p "$out"
address=127.0.0.77
"$simulator_program" --devices 1 --base-address "$address" --duration 60 --alarm-period-ms 700 \
  > "$out/simulator.log" 2>&1 &
simulator=$!
trap 'kill "$simulator" 2>/dev/null || true; wait "$simulator" 2>/dev/null || true' EXIT
# Wait (bounded) until the device listens on its control port.
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/$address/6001") 2>/dev/null && break
  sleep 0.1
done

"$minimal" "$address" 6001 admin admin "$out/minimal" 3
frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
  -of csv=p=0 "$out/minimal.264")
first=$(ffprobe -v error -select_streams v:0 -show_entries frame=key_frame,pict_type -of csv=p=0 \
  -read_intervals '%+#1' "$out/minimal.264" | head -1)
echo "minimal_host: $out/minimal.264 decodes to $frames frames, first frame: $first"
[ "${frames:-0}" -gt 0 ] || { echo "no frames decoded"; exit 1; }
case "$first" in 1,I*) ;; *) echo "the recording does not open with a key frame"; exit 1 ;; esac

rm -f "$out/debug.txt"
QRV_DEBUG_OUTPUT="$out/debug.txt" "$callbacks" "$plugin" "$address" 6001 admin admin 2
grep -q "$(printf '\xD4\xA4\xC0\xC0\xBE\xE4\xB1\xFA')" "$out/debug.txt" \
  || { echo "QRV_DEBUG_OUTPUT got no stream-open message"; exit 1; }
echo "examples ran"
