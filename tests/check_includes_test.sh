#!/usr/bin/env bash
# scripts/check-includes.sh against small trees: a clean one passes, each kind
# of forbidden include fails and is named.
set -euo pipefail
script="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

tree() {  # a fresh clean tree in $work/t
  rm -rf "$work/t"
  mkdir -p "$work/t"/{plugin,events,media,device,platform,fault,devicelib}
  printf '#include "events/a.h"\n#include "media/b.h"\n#include <vector>\n' > "$work/t/plugin/p.cc"
  printf '#include "media/b.h"\n#include "device/c.h"\n' > "$work/t/events/a.h"
  printf '#include "device/c.h"\n' > "$work/t/media/b.h"
  printf '#include "devicelib/d.h"\n#include "platform/e.h"\n' > "$work/t/device/c.h"
  printf '#include <dlfcn.h>\n#include <sys/types.h>\n' > "$work/t/platform/e.cc"
  # The device library: three backends over common/, each with a pure codec.
  mkdir -p "$work/t/tmcc"/{common/codec,native/codec,rtsp/codec,onvif/codec}
  : > "$work/t/tmcc/common/codec/messages.h"
  printf '#include "tmcc/common/codec/messages.h"\n#include "tmcc/native/session.h"\n' \
    > "$work/t/tmcc/common/link.h"
  printf '#include "tmcc/common/codec/messages.h"\n' > "$work/t/tmcc/native/codec/frame.h"
  printf '#include "tmcc/common/link.h"\n#include "tmcc/native/codec/frame.h"\n' \
    > "$work/t/tmcc/native/session.h"
  printf '#include "tmcc/rtsp/codec/url.h"\n#include "tmcc/common/codec/base64.h"\n' \
    > "$work/t/tmcc/rtsp/codec/sdp.h"
  printf '#include "tmcc/common/link.h"\n#include "tmcc/rtsp/codec/sdp.h"\n' \
    > "$work/t/tmcc/rtsp/rtsp_session.h"
  printf '#include "tmcc/common/codec/crypto.h"\n' > "$work/t/tmcc/onvif/codec/soap.h"
  # The one allowed direction between backends.
  printf '#include "%s"\n' tmcc/onvif/codec/soap.h tmcc/rtsp/rtsp_session.h tmcc/rtsp/codec/url.h \
    > "$work/t/tmcc/onvif/onvif_session.cc"
}
expect_fail() {  # file line expected-text
  tree
  printf '%s\n' "$2" >> "$work/t/$1"
  if out=$("$script" "$work/t" 2>&1); then
    echo "not refused: $1 with $2"; exit 1
  fi
  grep -qF "$3" <<< "$out" || { echo "unexpected message for $1: $out"; exit 1; }
}

tree
"$script" "$work/t" > /dev/null || { echo "clean tree refused"; exit 1; }

expect_fail device/c.h '#include "media/b.h"' "device/ must not include media/"
expect_fail device/c.h '#include "events/a.h"' "device/ must not include events/"
expect_fail device/c.h '#include "plugin/x.h"' "device/ must not include plugin/"
expect_fail media/b.h '# include "events/a.h"' "media/ must not include events/"
expect_fail media/b.h '#include "plugin/x.h"' "media/ must not include plugin/"
expect_fail events/a.h '#include "plugin/x.h"' "events/ must not include plugin/"
expect_fail plugin/p.cc '#include "tmcc/common/client.h"' "plugin/ must not include tmcc/"
for header in windows.h pthread.h signal.h dlfcn.h unistd.h sys/mman.h; do
  expect_fail media/b.h "#include <$header>" "operating-system header outside platform/"
done
expect_fail fault/f.cc '#include <sys/ucontext.h>' "operating-system header outside platform/"
# Inside tmcc/: file, include, expected complaint.
while IFS='|' read -r file line message; do
  expect_fail "$file" "$line" "$message"
done <<'CASES'
tmcc/rtsp/codec/sdp.h|#include "tmcc/rtsp/rtsp_session.h"|tmcc/rtsp/codec/ includes only its own codec and common/codec/
tmcc/rtsp/codec/sdp.h|#include "tmcc/native/codec/frame.h"|tmcc/rtsp/codec/ includes only its own codec and common/codec/
tmcc/onvif/codec/soap.h|#include "tmcc/common/link.h"|tmcc/onvif/codec/ includes only its own codec and common/codec/
tmcc/common/codec/messages.h|#include "tmcc/native/codec/frame.h"|tmcc/common/codec/ includes only its own codec and common/codec/
tmcc/native/session.h|#include "tmcc/rtsp/rtsp_session.h"|tmcc/native/ must not include tmcc/rtsp/
tmcc/onvif/onvif_session.cc|# include "tmcc/native/codec/frame.h"|tmcc/onvif/ must not include tmcc/native/
tmcc/rtsp/rtsp_session.h|#include "tmcc/onvif/codec/soap.h"|tmcc/rtsp/ must not include tmcc/onvif/
CASES
echo "check-includes behaves"
