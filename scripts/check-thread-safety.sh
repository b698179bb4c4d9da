#!/usr/bin/env bash
# Compiles the plug-in side (platform/ device/ media/ events/ plugin/) with
# clang's -Wthread-safety as errors, syntax only: the lock annotations must
# hold wherever the compiler can check them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
cxx="${CLANGXX:-clang++}"
status=0
for file in platform/*.cc device/*.cc media/*.cc events/*.cc plugin/*.cc; do
  if ! "$cxx" -std=c++20 -fsyntax-only -Wthread-safety -Werror=thread-safety \
      -I. -Iinclude "$file"; then
    echo "thread-safety check failed: $file" >&2
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "thread-safety check: plug-in side clean"
exit "$status"
