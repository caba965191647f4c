#!/usr/bin/env bash
# Makes the Debian packages from a finished build (BUILD_DIR, default build), installs them, and
# builds the usage guide's program outside the tree against the installed packages: once with
# CMake's find_package, once with pkg-config, neither setting the C++ standard; the first is run
# with the guide's settings. The packages are removed again at the end. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${BUILD_DIR:-build}")
scripts/setup.sh --package
rm -f "$build"/libvornica*.deb
(cd "$build" && cpack -G DEB >"$build/cpack.log" 2>&1) || { cat "$build/cpack.log"; exit 1; }
debs=("$build"/libvornica*.deb)
echo "packages: ${debs[*]##*/}"

work=$(mktemp -d /tmp/vornica-packages-XXXXXX)
cleanup() {
  rm -rf "$work"
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq libvornica-dev libvornica0 >/dev/null 2>&1 || true
}
trap cleanup EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${debs[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }

cp "$build/tests/usage_program.cpp" "$work/app.cpp"
cat >"$work/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(outside CXX)
find_package(Vornica REQUIRED)
add_executable(app app.cpp)
target_link_libraries(app PRIVATE Vornica::vornica)
CMAKE
cmake -S "$work" -B "$work/build" -G Ninja >/dev/null
cmake --build "$work/build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
g++ "$work/app.cpp" $(pkg-config --cflags --libs vornica) -o "$work/app-pkgconfig"

# The guide's settings, with its directories moved into the scratch folder.
sed -n '/<!-- settings of the program below -->/,/^```$/p' docs/usage.md | sed '1,2d;$d' |
  sed "s|/var/lib/vornica|$work/data|" >"$work/instance.ini"
VORNICA_CONFIG="$work/instance.ini" VORNICA_DEBUG_DIR="$work/log" "$work/build/app" >"$work/out.txt" ||
  { cat "$work/out.txt"; exit 1; }
grep -q "^end code 0$" "$work/out.txt" || { cat "$work/out.txt"; exit 1; }
status=0
KRRetrieveResults >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || { echo "the installed KRRetrieveResults did not start ($status)"; exit 1; }
echo "packages install; an outside program builds with find_package and pkg-config and runs"
