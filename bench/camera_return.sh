#!/usr/bin/env bash
# How soon recording resumes after a standard camera comes back: qrv-recorder
# records one simulated camera by its rtsp:// URL; the camera's server is
# killed (SIGKILL), stays away for DOWN seconds, and is started again. Printed
# per round: how many `offline` lines the recorder logged for the outage, and
# the time from the server's restart to the recorder's next `gap` line (the
# first frame recorded after the outage). Figures only; nothing is judged.
#   BUILD (build/release), ROUNDS (3), DOWN (20) seconds.
# Uses the fixed port 8554 on 127.0.0.10: run it through e2e/in_netns.sh.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD:-$root/build/release}"
rounds="${ROUNDS:-3}"
down="${DOWN:-20}"
work="$(mktemp -d)"
sim_pid=""
rec_pid=""
cleanup() {
  set +e
  [ -n "$rec_pid" ] && kill "$rec_pid" 2>/dev/null && wait "$rec_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill -9 "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  [ -n "${KEEP_LOG:-}" ] && cat "$work/log.jsonl" "$work/simulator.txt" >"$KEEP_LOG"
  rm -rf "$work"
}
trap cleanup EXIT

now_ms() { date +%s%3N; }
start_camera() {
  "$build/bin/qrv-simulator" --devices 1 --base-address 127.0.0.10 --rtsp-port 8554 --seconds 0 \
    --no-discovery --onvif-discovery-port 0 >>"$work/simulator.txt" 2>&1 &
  sim_pid=$!
}
count() { cat "$work/log.jsonl" 2>/dev/null | grep -c "\"event\":\"$1\"" || true; }
# Waits (bounded, 120 s) until the log has more than $2 lines of event $1.
wait_for() {
  for _ in $(seq 1 1200); do
    [ "$(count "$1")" -gt "$2" ] && return 0
    sleep 0.1
  done
  echo "no $1 within 120 s" >&2
  return 1
}

cat >"$work/recorder.toml" <<EOF
[recorder]
output = "$work/out"
log = "$work/log.jsonl"
health_interval = "60s"
[[device]]
name = "cam"
address = "rtsp://127.0.0.10:8554/stream0"
user = "admin"
password = "admin"
stall_timeout = "10s"
EOF

start_camera
"$build/bin/qrv-recorder" --config "$work/recorder.toml" &
rec_pid=$!
wait_for recording 0
echo "round offline_events resumed_after_ms"
for round in $(seq 1 "$rounds"); do
  gaps=$(count gap)
  offline=$(count offline)
  kill -9 "$sim_pid"
  wait "$sim_pid" 2>/dev/null || true
  sleep "$down"
  start_camera
  back=$(now_ms)
  wait_for gap "$gaps"
  open_ms=$(($(now_ms) - back))
  echo "$round $(($(count offline) - offline)) $open_ms"
done
