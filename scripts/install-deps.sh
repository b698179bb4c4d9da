#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, fuzz and
# run the demo. Safe to run again.
set -euo pipefail

packages=(
  build-essential g++ g++-multilib cmake ninja-build pkg-config ccache python3
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libasio-dev libssl-dev libcli11-dev
  libtomlplusplus-dev nlohmann-json3-dev
  libx264-dev libx265-dev libturbojpeg0-dev ffmpeg
  # qrv-recorder's MP4 segments.
  libavformat-dev libavcodec-dev libavutil-dev
  # The standard-camera tests' RTSP server: videotestsrc (base), rtph264pay
  # and the RTSP elements (good), x264enc (ugly), and the server's bindings.
  python3-gi gir1.2-gst-rtsp-server-1.0 gir1.2-gst-plugins-base-1.0
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
  # gst-launch-1.0: rtspsrc records from the simulator in the standard tests.
  gstreamer1.0-tools
  binutils iproute2
  lintian dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Node and npm run the ONVIF interop test's client. Either Debian's packages
# or another source's nodejs (which carries npm itself) will do.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  $sudo apt-get update -q
  if dpkg-query -W -f='${Status}' nodejs 2>/dev/null | grep -q "install ok installed"; then
    $sudo apt-get install -y -q --no-install-recommends npm
  else
    $sudo apt-get install -y -q --no-install-recommends nodejs npm
  fi
fi

# The 32-bit Windows build (MinGW-w64), Wine to run its tests, and what the
# Visual Studio ABI test hosts are built with (clang in MSVC mode, lld-link,
# Wine's CRT headers): only with --windows (CI's Windows stage), as Wine needs
# the i386 architecture.
if [ "${1:-}" = "--windows" ]; then
  windows=(g++-mingw-w64-i686-posix wine wine32:i386 clang lld llvm libwine-dev)
  missing=()
  for p in "${windows[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      $sudo dpkg --add-architecture i386
    fi
    $sudo apt-get update -q
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
fi
