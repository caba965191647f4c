#!/usr/bin/env bash
# Runs the standing list of mutants (scripts/mutants.list) against the test suite: each mutant is
# one small edit of one source file that would lose or hide data, and the tests named with it must
# fail once the edit is in. A mutant the named tests let pass is a gap in the suite.
#
#   scripts/mutants.sh            every mutant of the list
#   scripts/mutants.sh m07 m12    only these
#   scripts/mutants.sh --list     the list: id, file, reason, tests
#
# The edits are made in a scratch copy of this tree (MUTANTS_DIR, default build-mutants/: src/ is
# the copy, src/build its build directory, both kept between runs so that a build is incremental;
# laid out as a work tree is, so that the compiler cache serves what other trees compiled).
# The copy is brought up to this tree's files first, the named tests must pass on it unmutated
# ("baseline fails" otherwise), then per mutant: edit, build, run each named test in a process of
# its own (the library keeps process-wide state) until one fails, restore the file.
# Result per mutant: killed, survived, stale (the text to find is not in the file exactly once, or
# the tests named match none) or build-broken. Exit 1 when any mutant is not killed.
#
# MUTANT_TEST_TIMEOUT (seconds, default 120) bounds each test process: a test a mutant makes hang
# counts as killing it. MUTANTS_JOBS (default nproc) is the build's parallelism.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
list=${MUTANTS_LIST:-$repo/scripts/mutants.list}
work=${MUTANTS_DIR:-$repo/build-mutants}
src=$work/src
build=$src/build
test_timeout=${MUTANT_TEST_TIMEOUT:-120}
jobs=${MUTANTS_JOBS:-$(nproc)}

die() { echo "mutants: $*" >&2; exit 2; }

# The list: entries separated by blank lines, one "key: value" per line (lines starting with #
# are comments). Keys: id, file, find, replace (may be empty: the text is dropped), why, tests
# (a gtest filter of positive patterns). find and replace are taken literally after "key: ".
ids=() files=() finds=() replaces=() whys=() filters=()
parse_list() {
    local line key value n=-1 lineno=0
    local -A seen=()
    [ -r "$list" ] || die "cannot read $list"
    while IFS= read -r line || [ -n "$line" ]; do
        lineno=$((lineno + 1))
        case $line in '#'*) continue ;; '') continue ;; esac
        key=${line%%:*}
        value=${line#*:}
        value=${value# }
        [ "$key" != "$line" ] || die "$list:$lineno: not a 'key: value' line"
        case $key in
            id)
                [ -z "${seen[$value]:-}" ] || die "$list:$lineno: id $value twice"
                seen[$value]=1
                n=$((n + 1)); ids[n]=$value; files[n]=''; finds[n]=''; replaces[n]=''; whys[n]=''; filters[n]='' ;;
            file | find | replace | why | tests)
                [ "$n" -ge 0 ] || die "$list:$lineno: $key before the first id"
                case $key in
                    file) files[n]=$value ;; find) finds[n]=$value ;; replace) replaces[n]=$value ;;
                    why) whys[n]=$value ;; tests) filters[n]=$value ;;
                esac ;;
            *) die "$list:$lineno: unknown key '$key'" ;;
        esac
    done <"$list"
    local i
    for i in "${!ids[@]}"; do
        [ -n "${files[i]}" ] && [ -n "${finds[i]}" ] && [ -n "${filters[i]}" ] ||
            die "${ids[i]}: file, find and tests are required"
        case ${filters[i]} in *-*) die "${ids[i]}: only positive test patterns (no '-')" ;; esac
    done
}

# Everything below runs from one function, read whole before it starts: an edit of this file
# during a run cannot change what the run executes.
main() {
case "${1:-}" in
    -h | --help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) [ "$1" = --list ] || die "unknown option '$1' (--list, --help, or mutant ids)" ;;
esac
parse_list
if [ "${1:-}" = "--list" ]; then
    for i in "${!ids[@]}"; do
        printf '%-4s %-48s %s\n     tests: %s\n' "${ids[i]}" "${files[i]}" "${whys[i]}" "${filters[i]}"
    done
    exit 0
fi

# The mutants to run: all, or those named.
selected=()
if [ $# -eq 0 ]; then
    selected=("${!ids[@]}")
else
    for want in "$@"; do
        found=''
        for i in "${!ids[@]}"; do [ "${ids[i]}" = "$want" ] && found=$i; done
        [ -n "$found" ] || die "no mutant '$want' in $list"
        selected+=("$found")
    done
fi

# The scratch copy: this tree's files (tracked and new ones not ignored), committed in a
# repository of its own so that each mutant is undone with git checkout. Files that did not
# change keep their time stamps, so the build stays incremental; a changed one is copied with
# a fresh time stamp, so that it is always rebuilt.
sync_scratch() {
    mkdir -p "$src" || die "cannot make $src"
    if [ ! -d "$src/.git" ]; then
        git -C "$src" init -q || die "git init in $src failed"
    fi
    git -C "$src" checkout -q -- . 2>/dev/null || true  # a run broken off mid-mutant
    local f
    local -A wanted=()
    while IFS= read -r -d '' f; do
        [ -f "$repo/$f" ] || continue  # deleted in this tree, not yet from the index
        wanted[$f]=1
        if ! cmp -s "$repo/$f" "$src/$f"; then
            mkdir -p "$(dirname "$src/$f")" && cp "$repo/$f" "$src/$f" || die "cannot copy $f"
        fi
    done < <(git -C "$repo" ls-files -co --exclude-standard -z)
    while IFS= read -r -d '' f; do
        [ -n "${wanted[$f]:-}" ] || rm -f "$src/$f"
    done < <(git -C "$src" ls-files -z)
    git -C "$src" add -A &&
        git -C "$src" -c user.name=mutants -c user.email=mutants@localhost commit -q --allow-empty -m tree ||
        die "cannot commit the scratch copy"
}

build_log=$work/build.log
build_tree() {
    if [ ! -f "$build/build.ninja" ]; then
        local launcher=()
        if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
        # Programs are not relinked when only the shared library changed: they load it at run
        # time, and a mutant changes no interface.
        cmake -S "$src" -B "$build" -G Ninja "${launcher[@]}" -DVORNICA_WERROR=ON \
            -DCMAKE_LINK_DEPENDS_NO_SHARED=ON >"$build_log" 2>&1 || return 1
    fi
    # vornica_tests brings the library, the helper program and the tools the tests start.
    cmake --build "$build" -j "$jobs" --target vornica_tests >"$build_log" 2>&1
}

tests_bin=$build/tests/vornica_tests
# The tests a filter names, one per line.
tests_of() {
    "$tests_bin" --gtest_list_tests --gtest_filter="$1" 2>/dev/null | awk '
        /^[^ ]/ { suite = $1; next }
        /^  / { print suite $1 }'
}

declare -A seconds=()
# Runs the tests one process each, the fastest first; returns at the first that fails (its name
# in $failed_test, "timeout" in $failed_how when the time-out ended it).
run_tests() {
    local t start rc
    failed_test='' failed_how=''
    for t in "$@"; do
        start=$(date +%s)
        timeout -s KILL "$test_timeout" "$tests_bin" --gtest_filter="$t" >"$work/test.log" 2>&1
        rc=$?
        [ -n "${seconds[$t]:-}" ] || seconds[$t]=$(($(date +%s) - start))
        if [ "$rc" -ne 0 ]; then
            failed_test=$t
            [ "$rc" -eq 137 ] && failed_how=timeout
            return 1
        fi
    done
    return 0
}
fastest_first() {
    local t
    for t in "$@"; do printf '%s %s\n' "${seconds[$t]:-0}" "$t"; done | sort -n -s -k1,1 | cut -d' ' -f2
}

started=$(date +%s)
mkdir -p "$work" || die "cannot make $work"
echo "mutants: scratch copy in $src" >&2
sync_scratch
echo "mutants: building the unmutated tree" >&2
build_tree || { tail -n 40 "$build_log" >&2; die "baseline fails: the unmutated tree does not build"; }

# Baseline: every test the selected mutants name passes on the unmutated tree.
declare -A mutant_tests=()
baseline=()
declare -A in_baseline=()
for i in "${selected[@]}"; do
    names=$(tests_of "${filters[i]}")
    mutant_tests[$i]=$names
    for t in $names; do
        [ -n "${in_baseline[$t]:-}" ] || { in_baseline[$t]=1; baseline+=("$t"); }
    done
done
echo "mutants: baseline: ${#baseline[@]} tests" >&2
baseline_failed=()
for t in "${baseline[@]}"; do
    run_tests "$t" || baseline_failed+=("$t${failed_how:+ ($failed_how)}")
done
if [ ${#baseline_failed[@]} -gt 0 ]; then
    echo "baseline fails: ${baseline_failed[*]}"
    exit 2
fi

killed=0 survived=0 stale=0 broken=0
for i in "${selected[@]}"; do
    id=${ids[i]} file=${files[i]}
    t0=$(date +%s)
    if [ -z "${mutant_tests[$i]}" ]; then
        status=stale detail="no test matches ${filters[i]}"
        stale=$((stale + 1))
    else
        edit=$(FIND=${finds[i]} REPLACE=${replaces[i]} python3 - "$src/$file" <<'EOF'
import os, sys
path = sys.argv[1]
try:
    text = open(path, encoding="utf-8").read()
except OSError as e:
    print(f"cannot read the file ({e.strerror})"); sys.exit(0)
find, replace = os.environ["FIND"], os.environ["REPLACE"]
count = text.count(find)
if count != 1:
    print(f"text found {count} times"); sys.exit(0)
open(path, "w", encoding="utf-8").write(text.replace(find, replace))
print("applied")
EOF
)
        if [ "$edit" != applied ]; then
            status=stale detail=$edit
            stale=$((stale + 1))
        elif ! build_tree; then
            status=build-broken detail=$(grep -m1 'error:' "$build_log" | cut -c1-160)
            broken=$((broken + 1))
        else
            # shellcheck disable=SC2086  # test names hold no blanks
            if run_tests $(fastest_first ${mutant_tests[$i]}); then
                status=survived detail=''
                survived=$((survived + 1))
            else
                status=killed detail="by $failed_test${failed_how:+ ($failed_how)}"
                killed=$((killed + 1))
            fi
        fi
        git -C "$src" checkout -q -- "$file" 2>/dev/null
    fi
    printf '%-4s %-12s %4ss  %s  %s\n' "$id" "$status" "$(($(date +%s) - t0))" "$file" "$detail"
done
# The scratch tree ends unmutated and built, ready for the next run.
build_tree >/dev/null 2>&1 || true
echo "$killed killed, $survived survived, $stale stale, $broken build-broken ($(($(date +%s) - started)) s)"
[ $((survived + stale + broken)) -eq 0 ]
}
main "$@"
exit
