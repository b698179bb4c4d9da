#!/usr/bin/env bash
# Installs what is needed, builds, and runs the demo: four simulated devices on
# loopback, driven through the plug-in as a host would.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
build="${QRV_BUILD_DIR:-$root/build/release}"
mkdir -p "$(dirname "$build")"
"$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -- qrv-demo qrv-host qrv-simulator qrvaccess tmControlClient
exec "$build/bin/qrv-demo" --output "${QRV_DEMO_OUTPUT:-$root/out/demo}" "$@"
