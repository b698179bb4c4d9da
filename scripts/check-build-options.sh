#!/usr/bin/env bash
# Every combination of QRV_BUILD_TESTS, QRV_BUILD_TOOLS and QRV_BUILD_SIMULATOR
# configures, and defines test or tool targets only when asked for; the
# combination that once failed to build (tests off, tools on) is built.
#   scripts/check-build-options.sh [WORK_DIR]   (default: a temporary folder)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="${1:-}"
if [ -z "$work" ]; then
  work="$(mktemp -d /tmp/qrv-options.XXXXXX)"
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
fail() { echo "check-build-options: $*" >&2; exit 1; }
werror=()
[ -n "${QRV_WERROR:-}" ] && werror=(-DQRV_WERROR="$QRV_WERROR")

for tests in ON OFF; do
  for tools in ON OFF; do
    for simulator in ON OFF; do
      name="tests-$tests.tools-$tools.simulator-$simulator"
      build="$work/$name"
      cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${werror[@]}" \
        -DQRV_BUILD_TESTS=$tests -DQRV_BUILD_TOOLS=$tools -DQRV_BUILD_SIMULATOR=$simulator \
        > "$build.log" 2>&1 || { cat "$build.log"; fail "$name: configure failed"; }
      targets="$(ninja -C "$build" -t targets all | sed -n 's/^\([^:]*\): .*/\1/p' | sed 's|.*/||')"
      has() { grep -qxE "$1" <<< "$targets"; }
      if [ "$tests" = OFF ] && has '.*_test'; then
        fail "$name: defines test targets: $(grep -xE '.*_test' <<< "$targets" | tr '\n' ' ')"
      fi
      if [ "$tools" = OFF ] && has 'qrv-(host|recorder)'; then fail "$name: defines tool targets"; fi
      if [ "$simulator" = OFF ] && has 'qrv-simulator'; then fail "$name: defines the simulator"; fi
      has 'libqrvaccess\.so' || fail "$name: no plug-in target"
      echo "$name: configured"
    done
  done
done

# Tests off, tools on: the recorder's test once came in regardless.
ninja -C "$work/tests-OFF.tools-ON.simulator-OFF"
echo "build options checked"
