#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" --build-only
# The tests' own tools (ffmpeg, GStreamer, node) install while the tree
# compiles; apt is done before any test starts.
deps_log="$(mktemp)"
"$root/scripts/install-deps.sh" > "$deps_log" 2>&1 &
deps=$!
trap 'wait $deps 2>/dev/null; rm -f "$deps_log"' EXIT
build="${QRV_BUILD_DIR:-$root/build/release}"
mkdir -p "$(dirname "$build")"
"$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
if ! wait $deps; then
  cat "$deps_log" >&2
  echo "test.sh: installing the tests' tools failed (above)" >&2
  exit 1
fi
cd "$build"
# Tests mostly wait on sockets and timers: four at a time keep two cores busy.
ctest --output-on-failure -j"${QRV_TEST_JOBS:-4}" "$@"
