#!/bin/sh
# GStreamer's rtspsrc, as other video software uses the simulator: records
# from its RTSP face with Digest on (rtspsrc answers without qop), a wrong
# password gets nothing, and the simulator's summary counts what was sent.
# In a network namespace of its own: the RTSP port is fixed.
# Usage: gst_rtspsrc_test.sh SIMULATOR_BINARY
set -eu
if ! command -v gst-launch-1.0 >/dev/null; then
  echo "SKIP: gst-launch-1.0 is not installed (Debian: gstreamer1.0-tools)"
  exit 77
fi
if [ -z "${QRV_IN_NETNS:-}" ]; then
  netns="unshare -rn"
  [ "$(id -u)" -eq 0 ] && netns="unshare -n"
  $netns true 2>/dev/null || { echo "gst rtspsrc: cannot make a network namespace ($netns)" >&2; exit 1; }
  exec $netns env QRV_IN_NETNS=1 sh "$0" "$@"
fi
ip link set lo up
fail() { echo "gst rtspsrc: $*" >&2; cat "$dir/gst.log" "$dir/sim.log" >&2 2>/dev/null; exit 1; }

dir=$(mktemp -d)
sim=""
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; rm -rf "$dir"' EXIT
"$1" -n 1 --base-address 127.0.0.10 --rtsp-port 8554 --user viewer --password digest-s3cret \
  --size 640x360 --fps 25 --bitrate-kbps 4000 --seconds 60 >"$dir/sim.log" 2>&1 &
sim=$!
i=0
until grep -q "running" "$dir/sim.log"; do  # bounded: 10 s
  i=$((i + 1))
  [ $i -le 100 ] && kill -0 "$sim" 2>/dev/null || fail "the simulator did not start"
  sleep 0.1
done

record() {  # PASSWORD FILE: 50 frames into FILE, bounded in time
  timeout 30 gst-launch-1.0 -q rtspsrc location=rtsp://127.0.0.10:8554/stream0 user-id=viewer \
    user-pw="$1" protocols=tcp ! rtph264depay ! video/x-h264,stream-format=byte-stream \
    ! identity eos-after=50 ! filesink location="$2" >"$dir/gst.log" 2>&1
}
record digest-s3cret "$dir/good.h264" || fail "recording with the right password failed"
frames=$(ffprobe -v error -count_frames -select_streams v:0 \
  -show_entries stream=codec_name,nb_read_frames -of csv=p=0 "$dir/good.h264")
case "$frames" in h264,*) ;; *) fail "the recording is not H.264: '$frames'" ;; esac
[ "${frames#h264,}" -ge 40 ] || fail "only ${frames#h264,} frame(s) recorded"
if record wrong "$dir/wrong.h264" || [ -s "$dir/wrong.h264" ]; then
  fail "a wrong password was let in"
fi

kill -INT "$sim"  # the summary comes when the simulator stops
wait "$sim" || true
sim=""
summary=$(grep "^summary:" "$dir/sim.log" || true)
sent=$(echo "$summary" | sed -n 's/.* \([0-9][0-9]*\) frame(s).*/\1/p')
[ -n "$sent" ] && [ "$sent" -ge 40 ] || fail "the summary counts no frames: '$summary'"
case "$summary" in *" 0.0 MB sent"*) fail "the summary counts no bytes: '$summary'" ;; esac
echo "gst rtspsrc: ${frames#h264,} frame(s) recorded with Digest; $summary"
