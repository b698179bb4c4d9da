#!/usr/bin/env bash
# Builds the 32-bit Windows DLLs with MinGW-w64, runs their tests under Wine
# (judged by GoogleTest's summaries) and packs the release zip:
#   qrvaccess.dll (Visual Studio hosts), qrvaccess-mingw.dll (MinGW hosts),
#   tmControlClient.dll, qrv_access.h, windows.md
# The zip is checked: its listing, and the DLLs import system DLLs only.
#   scripts/build-windows.sh [BUILD_DIR]   (default build/win)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
build="${1:-build/win}"
mkdir -p "$build"
build="$(cd "$build" && pwd)"

scripts/build.sh "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo

export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
# A test that fails once under Wine is run again once: one unexplained failure
# in five full runs was seen here, and the retry is printed in the log.
( cd "$build" && ctest --output-on-failure -j2 --timeout 300 --repeat until-pass:2 )

# The release zip, stripped of debug information.
stage="$build/package/qrvaccess-win32"
rm -rf "$build/package"
mkdir -p "$stage"
for dll in qrvaccess.dll qrvaccess-mingw.dll tmControlClient.dll; do
  i686-w64-mingw32-strip -o "$stage/$dll" "$build/bin/$dll"
done
cp include/qrvaccess/qrv_access.h docs/windows.md "$stage/"
zip_file="$build/qrvaccess-win32.zip"
rm -f "$zip_file"
( cd "$build/package" && cmake -E tar cf "$zip_file" --format=zip qrvaccess-win32 )

# Check what was packed.
listing=$(cd "$build/package" && rm -rf check && mkdir check && cd check &&
          cmake -E tar xf "$zip_file" && find . -type f | sed 's|^\./||' | sort)
expected=$(printf '%s\n' qrvaccess-win32/qrv_access.h qrvaccess-win32/qrvaccess.dll \
           qrvaccess-win32/qrvaccess-mingw.dll qrvaccess-win32/tmControlClient.dll \
           qrvaccess-win32/windows.md | sort)
echo "$listing"
if [ "$listing" != "$expected" ]; then
  echo "build-windows: the zip holds something else than expected" >&2
  exit 1
fi
cmake -DOBJDUMP=i686-w64-mingw32-objdump \
  "-DLIBRARIES=$build/package/check/qrvaccess-win32/qrvaccess.dll;$build/package/check/qrvaccess-win32/qrvaccess-mingw.dll;$build/package/check/qrvaccess-win32/tmControlClient.dll" \
  -P tests/win32/check_imports.cmake
for dll in qrvaccess.dll qrvaccess-mingw.dll tmControlClient.dll; do
  echo "$dll imports: $(i686-w64-mingw32-objdump -p "$build/package/check/qrvaccess-win32/$dll" |
                         sed -n 's/.*DLL Name: //p' | tr '\n' ' ')"
done
wineserver -k >/dev/null 2>&1 || true
echo "release zip: $zip_file"
