#!/usr/bin/env bash
# Installs the Debian packages the project needs (see the lists below).
# Safe to run again: installs only what is missing.
set -euo pipefail

# What building needs, then what running every test and the demo needs: the
# README's two commands install both. --build-only installs only the first
# (the test command installs the second while it compiles). --ci adds the
# other CI stages' tools (clang for the fuzz and lock-annotation stages, the
# .deb checks, a compiler cache); --windows adds those and the Windows stage's.
build_packages=(
  build-essential g++ g++-multilib cmake ninja-build pkg-config python3 binutils
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libasio-dev libssl-dev libcli11-dev
  libtomlplusplus-dev nlohmann-json3-dev
  libx264-dev libx265-dev libturbojpeg0-dev
  # libjpeg-turbo's CMake package names libjpeg.so.62 as well as libturbojpeg.
  libjpeg62-turbo-dev
  # qrv-recorder's MP4 segments.
  libavformat-dev libavcodec-dev libavutil-dev
)
run_packages=(
  ffmpeg iproute2
  # The standard-camera tests' RTSP server: videotestsrc (base), rtph264pay,
  # rtph265pay and the RTSP elements (good), x264enc (ugly), x265enc (bad),
  # and the server's bindings.
  python3-gi gir1.2-gst-rtsp-server-1.0 gir1.2-gst-plugins-base-1.0
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
  gstreamer1.0-plugins-bad
  # gst-launch-1.0: rtspsrc records from the simulator in the standard tests.
  gstreamer1.0-tools
  # Runs the ONVIF interop test's client; its four packages come straight
  # from the npm registry (tests/onvif_interop/fetch_modules.py), not npm.
  nodejs
)
ci_packages=(clang libclang-rt-14-dev lintian dpkg-dev ccache)
# The 32-bit Windows build (MinGW-w64), Wine to run its tests, and what the
# Visual Studio ABI test hosts are built with (clang in MSVC mode, lld-link,
# Wine's CRT headers). Wine needs the i386 architecture.
windows_packages=(g++-mingw-w64-i686-posix wine wine32:i386 clang lld llvm libwine-dev)

packages=("${build_packages[@]}" "${run_packages[@]}")
case "${1:-}" in
  --build-only) packages=("${build_packages[@]}") ;;
  --ci) packages+=("${ci_packages[@]}") ;;
  --windows) packages+=("${ci_packages[@]}" "${windows_packages[@]}") ;;
  "") ;;
  *) echo "usage: $0 [--build-only | --ci | --windows]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Another source's nodejs (which carries npm itself) will do as well.
if command -v node >/dev/null; then
  keep=(); for p in "${missing[@]}"; do [ "$p" = nodejs ] || keep+=("$p"); done
  missing=("${keep[@]}")
fi
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
