#!/usr/bin/env bash
# The release qrvaccess.dll as Visual Studio 2015-2022 hosts meet it. Test
# hosts written as such hosts are (their own std::map and std::string,
# virtual calls, delete) are built with the MSVC-ABI toolchain (clang in MSVC
# mode, the Microsoft STL) and run under Wine, which fails a run on any heap
# warning: a block freed through the wrong heap or with a shifted pointer.
#   abi_host      every slot, the host's containers, the bytes each slot pops,
#                 dynamic_cast and typeid on the object
#   wrong-free    the same host freeing one block wrongly: must fail, or the
#                 heap check sees nothing
#   foreign_fault_host  (a Visual Studio-ABI and a MinGW build of one source)
#                 against a stand-in device library built as a Visual Studio
#                 binary whose functions fault on command: each fault ends its
#                 operation with the failure code, the process lives on
#   session_host  a device session against the native simulator; the
#                 recording must decode, IDR first, with the frames the host saw
# Both run in a network namespace of their own (the alarm port 5005 is fixed).
#   scripts/msvc-host-tests.sh WINDOWS_BUILD_DIR SIMULATOR [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "$1" && pwd)"; simulator="$(realpath "$2")"; seconds="${3:-4}"
toolchain="${QRV_MSVC_ABI:-$root/../shared/msvc-abi}"
[ -x "$toolchain/msvc-abi-build" ] ||
  { echo "msvc-host-tests: no MSVC-ABI toolchain at $toolchain (set QRV_MSVC_ABI)" >&2; exit 2; }

if [ -z "${QRV_IN_NETNS:-}" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare -n env QRV_IN_NETNS=1 "$0" "$@"
  fi
  exec unshare -rn env QRV_IN_NETNS=1 "$0" "$@"
fi
ip link set lo up

out="$build/msvc-hosts"
rm -rf "$out"
mkdir -p "$out"
export MSVC_ABI_CACHE="$out/cache" WINEPREFIX="$out/prefix"
# A crash ends the host at once instead of waiting in Wine's debugger.
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
for host in abi_host session_host; do
  "$toolchain/msvc-abi-build" "$out/$host.exe" "$root/tests/msvc/$host.cc" \
    "$root/tests/msvc/probe.cpp" -- "-I$root/include"
done
cp "$build/bin/qrvaccess.dll" "$build/bin/tmControlClient.dll" "$out/"

echo "--- the public header: C++14 (Visual Studio 2015) compiles it; debug and 64-bit builds are refused"
"$toolchain/msvc-abi-build" "$out/header_check.exe" "$root/tests/msvc/header_check.cc" -- \
  "-I$root/include" -std=c++14
refused() {  # FLAG REASON
  if "$toolchain/msvc-abi-build" "$out/refused.exe" "$root/tests/msvc/header_check.cc" -- \
       "-I$root/include" "$1" > "$out/refused.log" 2>&1; then
    echo "msvc-host-tests: a host built with $1 was not refused" >&2; exit 1
  fi
  grep -q "$2" "$out/refused.log" ||
    { cat "$out/refused.log"; echo "msvc-host-tests: $1 refused without saying \"$2\"" >&2; exit 1; }
  echo "refused $1: $2"
}
refused -D_DEBUG "serves hosts built with the release runtime"
refused --target=x86_64-pc-windows-msvc "is a 32-bit x86 DLL"
cd "$out"

echo "--- abi_host"
timeout 300 "$toolchain/msvc-abi-run" abi_host.exe

echo "--- abi_host wrong-free (must fail)"
if timeout 300 "$toolchain/msvc-abi-run" abi_host.exe wrong-free > wrong-free.log 2>&1; then
  cat wrong-free.log
  echo "msvc-host-tests: a deliberately wrong free went unnoticed" >&2
  exit 1
fi
grep -q ':heap:' wrong-free.log ||
  { cat wrong-free.log; echo "msvc-host-tests: the wrong free failed without a heap warning" >&2; exit 1; }
echo "failed as it must: $(grep -c ':heap:' wrong-free.log) heap warning(s)"

echo "--- foreign_fault_host: the device library faults (Visual Studio-ABI host, then MinGW host)"
faults="$out/faults"
mkdir -p "$faults"
"$toolchain/msvc-abi-build" "$faults/tmControlClient.dll" "$root/tests/msvc/faulting_library.cc" -- \
  "-I$root"
"$toolchain/msvc-abi-build" "$faults/foreign_fault_host.exe" "$root/tests/win32/foreign_fault_host.cc" -- \
  "-I$root/include"
cp "$build/bin/qrvaccess.dll" "$build/bin/qrvaccess-mingw.dll" "$build/bin/qrv_foreign_fault_host.exe" \
  "$faults/"
for host in foreign_fault_host.exe qrv_foreign_fault_host.exe; do
  ( cd "$faults" && timeout 300 "$toolchain/msvc-abi-run" "$host" ) | tee "$faults/$host.log"
  tr -d '\r' < "$faults/$host.log" | grep -q '^[0-9]* passed, 0 failed$' ||
    { echo "msvc-host-tests: $host failed" >&2; exit 1; }
done

echo "--- session_host against a simulated device"
"$simulator" -n 1 --base-address 127.0.0.10 --fps 25 --gop 25 --alarm-period-ms 300 \
  --alarm-target 127.0.0.1:5005 --no-discovery --duration 300 > simulator.log 2>&1 &
simulator_pid=$!
trap 'kill "$simulator_pid" 2>/dev/null || true; wait "$simulator_pid" 2>/dev/null || true; wineserver -k >/dev/null 2>&1 || true' EXIT
for _ in $(seq 1 200); do
  if (exec 3<>/dev/tcp/127.0.0.10/6001) 2>/dev/null; then break; fi
  sleep 0.05
done
timeout 300 "$toolchain/msvc-abi-run" session_host.exe 127.0.0.10 6001 admin admin "Z:${out//\//\\}" "$seconds" |
  tee session.log
recording="$out/recording.264"
[ -s "$recording" ] || { echo "msvc-host-tests: no recording written" >&2; exit 1; }
errors=$(ffmpeg -nostdin -v error -f h264 -i "$recording" -f null - 2>&1 || true)
frames=$(ffprobe -v error -f h264 -count_frames -select_streams v:0 \
           -show_entries stream=nb_read_frames -of csv=p=0 "$recording")
first=$(ffprobe -v error -f h264 -select_streams v:0 -read_intervals '%+#1' \
          -show_entries frame=key_frame,pict_type -of csv=p=0 "$recording" | head -n 1)
expected=$(tr -d '\r' < session.log | sed -n 's/^recordable-frames //p')
echo "recording: $(stat -c %s "$recording") bytes, $frames frames (the host saw ${expected:-?}), first frame: $first"
[ -z "$errors" ] || { echo "msvc-host-tests: decoding errors: $errors" >&2; exit 1; }
[ "$first" = "1,I" ] || { echo "msvc-host-tests: the recording does not start with an IDR frame" >&2; exit 1; }
[ -n "$expected" ] && [ "$expected" -gt 0 ] && [ "$frames" -eq "$expected" ] ||
  { echo "msvc-host-tests: $frames frames recorded, the host saw ${expected:-?}" >&2; exit 1; }
head -c 2 snapshot.jpg | od -An -tx1 | grep -q 'ff d8' ||
  { echo "msvc-host-tests: the snapshot is not a JPEG" >&2; exit 1; }
echo "msvc-host-tests: passed"
