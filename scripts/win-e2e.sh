#!/usr/bin/env bash
# End to end on Windows facilities: the Windows host program (MinGW) runs under
# Wine, loads the release qrvaccess-mingw.dll, and talks over loopback to a simulated
# device running natively on Linux; the alarm port 5005 is fixed, so both run
# in a network namespace of their own. Then the recording is decoded with
# ffprobe (every frame decodes, an IDR frame first) and the snapshot checked.
#   scripts/win-e2e.sh WINDOWS_BUILD_DIR SIMULATOR [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "$1" && pwd)"; simulator="$(realpath "$2")"; seconds="${3:-4}"

if [ -z "${QRV_IN_NETNS:-}" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare -n env QRV_IN_NETNS=1 "$0" "$build" "$simulator" "$seconds"
  fi
  exec unshare -rn env QRV_IN_NETNS=1 "$0" "$build" "$simulator" "$seconds"
fi
ip link set lo up

work=$(mktemp -d)
export WINEPREFIX="$work/prefix"
"$simulator" -n 1 --base-address 127.0.0.10 --fps 25 --gop 25 --alarm-period-ms 300 \
  --alarm-target 127.0.0.1:5005 --no-discovery --duration 300 > "$work/simulator.log" 2>&1 &
simulator_pid=$!
cleanup() {
  kill "$simulator_pid" 2>/dev/null || true
  wait "$simulator_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# The device listens within a bounded time, or the run fails.
for _ in $(seq 1 200); do
  if (exec 3<>/dev/tcp/127.0.0.10/6001) 2>/dev/null; then break; fi
  sleep 0.05
done

status=0
"$root/scripts/wine-run.sh" "$build/bin/qrv_win_host.exe" 127.0.0.10 6001 admin admin \
  "Z:${work//\//\\}" "$seconds" | tee "$work/host.log" || status=$?
grep -q '^result ok' "$work/host.log" || { echo "win-e2e: the host reported a failure" >&2; exit 1; }
[ "$status" -eq 0 ] || { echo "win-e2e: host exit status $status" >&2; exit 1; }

recording=$(ls "$work"/recording*.264 2>/dev/null | head -n 1)
[ -n "$recording" ] || { echo "win-e2e: no recording written" >&2; ls -l "$work" >&2; exit 1; }
errors=$(ffmpeg -nostdin -v error -f h264 -i "$recording" -f null - 2>&1 || true)
frames=$(ffprobe -v error -f h264 -count_frames -select_streams v:0 \
           -show_entries stream=nb_read_frames -of csv=p=0 "$recording")
first=$(ffprobe -v error -f h264 -select_streams v:0 -read_intervals '%+#1' \
          -show_entries frame=key_frame,pict_type -of csv=p=0 "$recording" | head -n 1)
echo "recording: $(stat -c %s "$recording") bytes, $frames frames, first frame: $first"
[ -z "$errors" ] || { echo "win-e2e: decoding errors: $errors" >&2; exit 1; }
[ "$first" = "1,I" ] || { echo "win-e2e: the recording does not start with an IDR frame" >&2; exit 1; }
# Exactly the frames the host saw from the first key frame of the recording on.
expected=$(tr -d '\r' < "$work/host.log" | sed -n 's/^recordable-frames //p')
[ -n "$expected" ] && [ "$expected" -gt 0 ] && [ "$frames" -eq "$expected" ] ||
  { echo "win-e2e: $frames frames recorded, the host saw ${expected:-?}" >&2; exit 1; }
head -c 2 "$work/snapshot.jpg" | od -An -tx1 | grep -q 'ff d8' ||
  { echo "win-e2e: the snapshot is not a JPEG" >&2; exit 1; }
echo "win-e2e: passed"
