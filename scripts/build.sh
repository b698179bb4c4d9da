#!/usr/bin/env bash
# Configures and builds one build tree.
#   scripts/build.sh BUILD_DIR [extra cmake arguments...] [-- ninja targets...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"; shift
cmake_args=(); targets=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--" ]; then shift; targets=("$@"); break; fi
  cmake_args+=("$1"); shift
done
# CI exports QRV_WERROR=ON: warnings are errors there, never in a user's build.
[ -n "${QRV_WERROR:-}" ] && cmake_args=(-DQRV_WERROR="$QRV_WERROR" "${cmake_args[@]}")
cmake -S "$root" -B "$build" -G Ninja "${cmake_args[@]}" > "$build.configure.log" 2>&1 \
  || { cat "$build.configure.log"; exit 1; }
ninja -C "$build" "${targets[@]}"
