#!/usr/bin/env bash
# Installs the build into a fresh prefix that is on no search path, then checks what a user of
# that install meets: every installed header compiles alone with the flags pkg-config gives
# (which carry the language level), and the installed programs find the library.
# usage: check-install.sh BUILD_DIR CXX
set -euo pipefail
build=$1 cxx=$2
prefix=$(mktemp -d /tmp/vornica-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name vornica.pc)")
cflags=$(pkg-config --cflags vornica)
case "$cflags" in *"$prefix"*) ;; *) echo "pkg-config --cflags names $cflags, not the install in $prefix"; exit 1 ;; esac

headers=$(cd "$prefix/include/vornica" && find . -name '*.h' | sort)
[ -n "$headers" ] || { echo "no headers installed"; exit 1; }
failed=0
# Two at a time: each header alone, as the only include of a translation unit.
export cxx cflags prefix
if ! echo "$headers" | xargs -P 2 -I{} sh -c '
    h=${1#./}
    printf "#include \"%s\"\n" "$h" | "$cxx" $cflags -fsyntax-only -x c++ - 2>"$prefix/err.$$" ||
      { echo "installed header $h does not compile alone:"; head -n 5 "$prefix/err.$$"; exit 1; }' sh {}; then
  failed=1
fi

# A program that cannot find the library fails in the loader (127) before main runs.
status=0
"$prefix/bin/KRRetrieveResults" >/dev/null 2>"$prefix/err" || status=$?
if [ "$status" -eq 127 ] || grep -q "error while loading shared libraries" "$prefix/err"; then
  echo "installed KRRetrieveResults does not start:"; cat "$prefix/err"; failed=1
fi
[ "$failed" -eq 0 ] && echo "install in a fresh prefix: $(echo "$headers" | wc -l) headers compile alone, programs start"
exit "$failed"
