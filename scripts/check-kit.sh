#!/usr/bin/env bash
# The integrator's kit, as a host developer meets it: the plug-in-only
# configuration (and proof it looks for no test or tool dependency), install
# into a prefix, the examples built out of tree with find_package and with
# pkg-config and run against the simulator, the header refusing a host of the
# wrong ABI or bitness, and the .deb checked with lintian and dpkg -i.
# Uses build/release for the tools and the package (built by scripts/test.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
tmp="$(mktemp -d /tmp/qrv-kit.XXXXXX)"
trap 'rm -rf "$tmp"' EXIT
fail() { echo "check-kit: $*" >&2; exit 1; }

echo "--- plug-in-only configuration"
build=build/plugin-only
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQRV_WERROR="${QRV_WERROR:-OFF}" \
  -DQRV_BUILD_TESTS=OFF \
  -DQRV_BUILD_TOOLS=OFF -DQRV_BUILD_SIMULATOR=OFF --trace-expand --trace-redirect="$tmp/trace" \
  > "$tmp/configure.log" 2>&1 || { cat "$tmp/configure.log"; fail "configure failed"; }
# Our own files may look for nothing but Threads and OpenSSL (FindOpenSSL
# itself may ask pkg-config about openssl); no module may be asked for a test
# or tool dependency.
if grep -E "^$root/.*(find_package\((GTest|GMock|CLI11|benchmark|libjpeg-turbo|PkgConfig)|pkg_check_modules\()" \
    "$tmp/trace" \
  || grep -v ' option(' "$tmp/trace" | grep -E 'FindGTest|CLI11Config|benchmarkConfig|libjpeg-turbo|x264'; then
  fail "the plug-in-only configure looked for a test or tool dependency (above)"
fi
if grep -iE '^(GTest|GMock|CLI11|benchmark|X264|TURBOJPEG|libjpeg)[A-Za-z_-]*:' "$build/CMakeCache.txt"; then
  fail "the plug-in-only configure cached a test or tool dependency (above)"
fi
echo "configure looked for no GoogleTest, CLI11, x264, pkg-config or benchmark"
ninja -C "$build"
cmake --install "$build" --prefix "$tmp/prefix" > /dev/null
(cd "$tmp/prefix" && find . | sort)

echo "--- every combination of the build options"
scripts/check-build-options.sh "$tmp/options"

echo "--- examples against the installed package"
cmake -S examples -B "$tmp/examples" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" > "$tmp/examples.log" 2>&1 \
  || { cat "$tmp/examples.log"; fail "examples: configure failed"; }
ninja -C "$tmp/examples"
export PKG_CONFIG_PATH="$tmp/prefix/lib/pkgconfig"
libdir="$(pkg-config --variable=libdir qrvaccess)"
# shellcheck disable=SC2046
g++ -std=c++20 -Wall -Wextra -Werror -o "$tmp/minimal_pc" examples/minimal_host.cc \
  $(pkg-config --cflags --libs qrvaccess) -Wl,-rpath,"$libdir"
# shellcheck disable=SC2046
g++ -std=c++20 -Wall -Wextra -Werror -o "$tmp/callback_pc" examples/callback_host.cc \
  $(pkg-config --cflags qrvaccess) -ldl -pthread
echo "minimal_host.cc: $(grep -cv '^\s*$' examples/minimal_host.cc) non-blank lines"
scripts/build.sh build/release -- qrv-simulator qrv-host
scripts/run-examples.sh build/release/bin/qrv-simulator "$tmp/examples/minimal_host" \
  "$tmp/callback_pc" "$(pkg-config --variable=plugin qrvaccess)" "$tmp/run"

echo "--- a host of the wrong ABI or bitness does not compile"
echo '#include <qrvaccess/qrv_access.h>' > "$tmp/host.cc"
expect_refused() {
  local why="$1"; shift
  if g++ -std=c++20 -fsyntax-only -I"$tmp/prefix/include" "$@" "$tmp/host.cc" > "$tmp/abi.log" 2>&1; then
    fail "a host built with $* compiled"
  fi
  grep -q -- "$why" "$tmp/abi.log" || { cat "$tmp/abi.log"; fail "no reason given for $*"; }
  echo "refused ($*): $(grep -m1 -o 'qrv_access.h: [^"]*' "$tmp/abi.log")"
}
g++ -std=c++20 -fsyntax-only -I"$tmp/prefix/include" "$tmp/host.cc"
expect_refused "_GLIBCXX_USE_CXX11_ABI=1" -D_GLIBCXX_USE_CXX11_ABI=0
expect_refused "64-bit library" -m32
if command -v clang++ > /dev/null && [ -e /usr/include/c++/v1 ]; then
  expect_refused "libstdc++" -stdlib=libc++
fi

echo "--- Debian package"
(cd build/release && rm -f qrvaccess_*.deb && cpack -G DEB > "$tmp/cpack.log" 2>&1) \
  || { cat "$tmp/cpack.log"; fail "cpack failed"; }
deb="$(ls build/release/qrvaccess_*.deb)"
dpkg -c "$deb"
lintian --allow-root "$deb" | tee "$tmp/lintian.log"
if grep -q '^E:' "$tmp/lintian.log"; then fail "lintian reports errors"; fi
sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo dpkg -i "$deb"
trap '$sudo dpkg -P qrvaccess > /dev/null || true; rm -rf "$tmp"' EXIT
qrv-host --help > /dev/null
[ "$(env -u PKG_CONFIG_PATH pkg-config --modversion qrvaccess)" = 1.0 ] || fail "pkg-config of the package"
cmake -S examples -B "$tmp/examples-system" -G Ninja > "$tmp/examples-system.log" 2>&1 \
  || { cat "$tmp/examples-system.log"; fail "examples against the package: configure failed"; }
ninja -C "$tmp/examples-system"
echo "kit checked"
