#!/usr/bin/env bash
# Fails when a plug-in source includes against the dependency direction
#   plugin/ -> events/ -> media/ -> device/ -> devicelib/, platform/
# (fault/ and devicelib/ sit beside platform/ and include none of the four
# above), or when a plug-in file outside platform/ includes an operating-system
# header: only platform/ may talk to the OS.
# Inside the device library (tmcc/), the backends native/, rtsp/ and onvif/
# stand side by side over common/: a backend includes common/ and itself, never
# another backend (but onvif/ -> rtsp/, see below), and a codec folder
# (tmcc/*/codec/) is pure: it includes only its own codec and common/codec/.
#   scripts/check-includes.sh [ROOT]     (default: the repository)
set -euo pipefail
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
cd "$root"

# folder: the plug-in folders it must not include.
# No plug-in folder reaches into our device library's, the simulator's or the
# host tool's code: the device library is met only through devicelib/.
outside="tmcc simulator host tests"
declare -A forbidden=(
  [plugin]="$outside"
  [device]="media events plugin $outside"
  [media]="events plugin $outside"
  [events]="plugin $outside"
  [fault]="device media events plugin $outside"
  [devicelib]="device media events plugin $outside"
  [platform]="device media events plugin $outside"
)
# Operating-system headers (POSIX and Windows), as written after "#include <".
os_headers='windows\.h|winsock2?\.h|ws2tcpip\.h|process\.h|io\.h|pthread\.h|signal\.h|csignal|dlfcn\.h|unistd\.h|fcntl\.h|poll\.h|sched\.h|semaphore\.h|ucontext\.h|netdb\.h|execinfo\.h|link\.h|sys/[^>]*|netinet/[^>]*|arpa/[^>]*|linux/[^>]*|asm/[^>]*'

failures=0
report() {
  echo "forbidden include: $1" >&2
  failures=$((failures + 1))
}

for folder in "${!forbidden[@]}"; do
  [ -d "$folder" ] || continue
  for target in ${forbidden[$folder]}; do
    while IFS= read -r hit; do
      [ -n "$hit" ] && report "$hit  ($folder/ must not include $target/)"
    done < <(grep -rnE --include='*.h' --include='*.cc' \
               "^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"<]$target/" "$folder" || true)
  done
done

for folder in plugin device media events fault devicelib; do
  [ -d "$folder" ] || continue
  while IFS= read -r hit; do
    [ -n "$hit" ] && report "$hit  (operating-system header outside platform/)"
  done < <(grep -rnE --include='*.h' --include='*.cc' \
             "^[[:space:]]*#[[:space:]]*include[[:space:]]*<($os_headers)>" "$folder" || true)
done

# The device library's folders. common/ holds what the backends share and the
# clients that pick or combine them (a login or stream picks its link,
# enumeration runs both discoveries), so it may include every backend. The one
# allowed direction between backends: ONVIF speaks HTTP through RTSP's message
# and authentication codec, and an ONVIF stream is an RTSP session to the URI
# the camera names; RTSP knows nothing of ONVIF.
backends="native rtsp onvif"
allowed_between="onvif>rtsp"
if [ -d tmcc ]; then
  while IFS= read -r hit; do
    [ -n "$hit" ] || continue
    file="${hit%%:*}"
    target=$(sed -E 's/^[^"]*"tmcc\/([^"]*)".*/\1/' <<< "$hit")
    part=$(cut -d/ -f2 <<< "$file")
    to=$(cut -d/ -f1 <<< "$target")
    case "$file" in
      tmcc/*/codec/*)
        case "$target" in
          "$part"/codec/* | common/codec/*) ;;
          *) report "$hit  (tmcc/$part/codec/ includes only its own codec and common/codec/)" ;;
        esac
        continue ;;
    esac
    case " $backends " in *" $part "*) ;; *) continue ;; esac
    case " $backends " in *" $to "*) ;; *) continue ;; esac
    [ "$part" = "$to" ] && continue
    [ "$part>$to" = "$allowed_between" ] && continue
    report "$hit  (tmcc/$part/ must not include tmcc/$to/)"
  done < <(grep -rnE --include='*.h' --include='*.cc' \
             '^[[:space:]]*#[[:space:]]*include[[:space:]]*"tmcc/' tmcc || true)
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures forbidden include(s)" >&2
  exit 1
fi
echo "includes follow the dependency direction"
