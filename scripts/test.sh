#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
build="${QRV_BUILD_DIR:-$root/build/release}"
mkdir -p "$(dirname "$build")"
"$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cd "$build"
# Tests mostly wait on sockets and timers: four at a time keep two cores busy.
ctest --output-on-failure -j"${QRV_TEST_JOBS:-4}" "$@"
