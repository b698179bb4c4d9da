#!/usr/bin/env bash
# Runs a Windows program under Wine (CTest's emulator for the Windows build).
# Wine may exit 0 although the program died, so a GoogleTest program is judged
# by its own summary: it passed only if it printed "[  PASSED  ]" and no
# "[  FAILED  ]" line. Other programs are judged by their exit status.
#   scripts/wine-run.sh PROGRAM.exe [arguments...]
set -uo pipefail
export WINEARCH=win32 WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/qrv-wine-$(id -u)}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
fi
wineserver -p >/dev/null 2>&1 || true

log=$(mktemp)
trap 'rm -f "$log"' EXIT
wine "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
if grep -q '^\[==========\] Running' "$log"; then
  if grep -q '^\[  PASSED  \]' "$log" && ! grep -q '^\[  FAILED  \]' "$log"; then
    exit 0
  fi
  echo "wine-run: GoogleTest summary missing or a test failed (wine exit status $status)" >&2
  exit 1
fi
exit "$status"
