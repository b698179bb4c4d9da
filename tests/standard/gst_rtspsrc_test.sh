#!/bin/sh
# GStreamer's rtspsrc, as other video software would use the simulator:
# records H.264 from one simulated camera's RTSP face with Digest on (rtspsrc
# answers without qop), is refused with a wrong password, and the
# simulator's closing summary counts the frames and bytes it sent. In a
# network namespace of its own, so the fixed RTSP port cannot collide.
# Usage: gst_rtspsrc_test.sh SIMULATOR_BINARY
set -eu
simulator=$1

if ! command -v gst-launch-1.0 >/dev/null; then
  echo "SKIP: gst-launch-1.0 is not installed (Debian: gstreamer1.0-tools)"
  exit 77
fi
if [ -z "${QRV_IN_NETNS:-}" ]; then
  if unshare -rn true 2>/dev/null; then
    exec unshare -rn env QRV_IN_NETNS=1 sh "$0" "$@"
  fi
  echo "gst rtspsrc: cannot make a network namespace (unshare -rn)" >&2
  exit 1
fi
ip link set lo up

dir=$(mktemp -d)
sim=""
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; rm -rf "$dir"' EXIT
"$simulator" -n 1 --base-address 127.0.0.10 --rtsp-port 8554 --user viewer \
  --password 'digest-s3cret' --size 640x360 --fps 25 --bitrate-kbps 4000 --seconds 60 >"$dir/sim.log" 2>&1 &
sim=$!
i=0
until grep -q "running" "$dir/sim.log"; do
  i=$((i + 1))
  if [ $i -gt 100 ] || ! kill -0 "$sim" 2>/dev/null; then
    echo "gst rtspsrc: the simulator did not start" >&2
    cat "$dir/sim.log" >&2
    exit 1
  fi
  sleep 0.1
done

url=rtsp://127.0.0.10:8554/stream0
record() {  # PASSWORD FILE: 50 frames of the stream into FILE, bounded in time
  timeout 30 gst-launch-1.0 -q rtspsrc location="$url" user-id=viewer user-pw="$1" \
    protocols=tcp ! rtph264depay ! video/x-h264,stream-format=byte-stream \
    ! identity eos-after=50 ! filesink location="$2" >"$dir/gst.log" 2>&1
}

if ! record 'digest-s3cret' "$dir/good.h264"; then
  echo "gst rtspsrc: recording with the right password failed" >&2
  cat "$dir/gst.log" "$dir/sim.log" >&2
  exit 1
fi
frames=$(ffprobe -v error -count_frames -select_streams v:0 \
  -show_entries stream=codec_name,nb_read_frames -of csv=p=0 "$dir/good.h264")
case "$frames" in
  h264,*) ;;
  *) echo "gst rtspsrc: the recording is not H.264: '$frames'" >&2; exit 1 ;;
esac
if [ "${frames#h264,}" -lt 40 ]; then
  echo "gst rtspsrc: only ${frames#h264,} frame(s) recorded" >&2
  exit 1
fi

if record 'wrong' "$dir/wrong.h264"; then
  echo "gst rtspsrc: a wrong password was let in" >&2
  exit 1
fi
if [ -s "$dir/wrong.h264" ]; then
  echo "gst rtspsrc: a wrong password got media" >&2
  exit 1
fi

# The summary comes when the simulator stops.
kill -INT "$sim"
wait "$sim" || true
sim=""
summary=$(grep "^summary:" "$dir/sim.log" || true)
recorded=$(echo "$summary" | sed -n 's/.* \([0-9][0-9]*\) frame(s).*/\1/p')
if [ -z "$recorded" ] || [ "$recorded" -lt 40 ]; then
  echo "gst rtspsrc: the summary does not count the frames sent: '$summary'" >&2
  exit 1
fi
case "$summary" in
  *" 0.0 MB sent"*) echo "gst rtspsrc: the summary counts no bytes: '$summary'" >&2; exit 1 ;;
esac
echo "gst rtspsrc: ${frames#h264,} frame(s) recorded with Digest; $summary"
