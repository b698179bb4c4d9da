#!/usr/bin/env bash
# Memory of qrv-recorder over a long run: 8 simulated devices (qrv-simulator)
# recorded with 10 s segments and a 2 MiB retention per device (so retention removes files all along), RSS sampled
# every 10 s. Prints the samples and the growth after the first minute.
#   bench/recorder_rss.sh [BUILD_DIR] [SECONDS]   (defaults: build/release 300)
set -euo pipefail
# The recorder listens on the fixed alarm port: run in a network namespace of
# our own so nothing else on the machine is disturbed.
if [ -z "${QRV_IN_NETNS:-}" ] && unshare -rn true 2>/dev/null; then
  exec env QRV_IN_NETNS=1 unshare -rn sh -c 'ip link set lo up && exec "$@"' sh "$0" "$@"
fi
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
seconds="${2:-300}"
work="$(mktemp -d)"
sim_pid=""; rec_pid=""
cleanup() {
  [ -n "$rec_pid" ] && kill -TERM "$rec_pid" 2>/dev/null && wait "$rec_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

base=127.0.93.1
cat > "$work/recorder.toml" <<TOML
[recorder]
output = "out"
log = "recorder.jsonl"
health_interval = 60

[defaults]
password = "admin"
segment = "10s"
max_total_size = "2MiB"
TOML
for i in 1 2 3 4 5 6 7 8; do
  printf '[[device]]\nname = "cam%d"\naddress = "127.0.93.%d"\n\n' "$i" "$i" >> "$work/recorder.toml"
done

"$build/bin/qrv-simulator" --devices 8 --base-address "$base" --replay \
  --duration $((seconds + 30)) > "$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q 'running' "$work/sim.log" 2>/dev/null && break; sleep 0.1; done
"$build/bin/qrv-recorder" --config "$work/recorder.toml" 2> /dev/null &
rec_pid=$!

rss() { awk '/^VmRSS/ {print $2}' "/proc/$rec_pid/status"; }
echo "seconds rss_kib"
first_minute=""
for t in $(seq 0 10 "$seconds"); do
  [ "$t" -gt 0 ] && sleep 10
  kill -0 "$rec_pid" 2>/dev/null || { echo "qrv-recorder ended early"; exit 1; }
  r=$(rss); echo "$t $r"
  [ "$t" -eq 60 ] && first_minute=$r
  last=$r
done
peak=$(awk '/^VmHWM/ {print $2}' "/proc/$rec_pid/status")
segments=$(grep -c '"event":"segment"' "$work/recorder.jsonl" || true)
removed=$(grep -c '"event":"retention_removed"' "$work/recorder.jsonl" || true)
gaps=$(grep -c '"event":"gap"' "$work/recorder.jsonl" || true)
echo "rss after 60 s: $first_minute KiB; at the end: $last KiB; growth after the first minute: $((last - first_minute)) KiB; peak $peak KiB"
echo "segments finished: $segments; removed by retention: $removed; gaps: $gaps"
