#!/usr/bin/env bash
# Installs what is missing, builds in build/ and runs every test through ctest;
# then builds again with the sanitizers in build-asan/ and runs every test there.
# With KORVEL_QT_WIN64 naming a Windows Qt, it first cross-builds the Windows
# bundle (scripts/windows.sh), and the *_wine tests run it under Wine; without
# one they report a skip.
set -euo pipefail
source "$(dirname "$0")/common.sh"

# The seconds of each phase, printed at the end: where the run stands
# against its budget (the README's testing section).
phases=()
phase_start=$SECONDS
phase_done() {
    phases+=("$1" $((SECONDS - phase_start)))
    phase_start=$SECONDS
}
report() {
    set +e
    local i total=0
    echo "== Time of each phase (seconds)"
    for ((i = 0; i < ${#phases[@]}; i += 2)); do
        printf '  %-28s %5d\n' "${phases[i]}" "${phases[i + 1]}"
        total=$((total + phases[i + 1]))
    done
    printf '  %-28s %5d\n' "all" "$total"
    local pass
    for pass in build build-asan; do
        [ -s "$KORVEL_ROOT/$pass/test-times.txt" ] || continue
        echo "== Tests in $pass, longest first: wall, CPU (with the processes waited for), waiting"
        awk 'NF == 4 && $2 ~ /^[0-9.]+$/ { cpu = $3 + $4; w = $2 - cpu; printf "  %-28s %7.1f %7.1f %7.1f\n", $1, $2, cpu, (w > 0) ? w : 0 }' \
            "$KORVEL_ROOT/$pass/test-times.txt" | sort -k2 -g -r
        echo "== Longest test functions in $pass (seconds)"
        awk '/<TestFunction name=/ { split($0, q, "\""); f = q[2] }
             /<\/TestFunction>/ { f = "" }
             f != "" && /<Duration msecs=/ { split($0, q, "\""); t = FILENAME; sub(/.*\//, "", t)
                 sub(/\.functions\.xml$/, "", t); printf "  %-44s %7.1f\n", t "::" f, q[2] / 1000 }' \
            "$KORVEL_ROOT/$pass"/*.functions.xml 2>/dev/null | sort -k2 -g -r | awk 'NR <= 15'
    done
}
trap report EXIT

korvel_install_packages
phase_done "packages"
if [ -n "${KORVEL_QT_WIN64:-}" ]; then
    # With the keyed updater that the signature tests run under Wine.
    bash "$KORVEL_ROOT/scripts/windows.sh" -DKORVEL_KEYED_TEST_UPDATER=ON
    phase_done "Windows bundle"
fi
# Line tables are all the debug information that a failure's backtrace and a
# sanitizer's report need; full information takes a third of the build.
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
korvel_build "$KORVEL_ROOT/build" "${flags[@]}" -DKORVEL_TEST_TIMES="$KORVEL_ROOT/build/test-times.txt"
phase_done "build"

# The tests mostly wait (on servers, timers and Wine: see the table at the
# end), so several run at once, even on two cores; each has its own servers,
# ports, X display and temporary directories. The longest start first (COST
# in tests/CMakeLists.txt).
parallel=${CTEST_PARALLEL_LEVEL:-$(($(nproc) * 3))}
cd "$KORVEL_ROOT/build"
rm -f test-times.txt ./*.functions.xml
status=0
ctest --output-on-failure -j "$parallel" "$@" || status=$?
phase_done "tests"

# The same tests once more, with the product built with AddressSanitizer and
# UndefinedBehaviorSanitizer in a build directory of their own. Everything
# runs slower there: every wait of the tests stretches three times, or more
# when KORVEL_TEST_TIME_SCALE asks for more. It is set before the build, so
# that ctest's own limits follow it too. Only the tests the sanitizers add to
# run there, and the tests that only drive the programs from outside are the
# plain build's (KORVEL_SANITIZER_PASS and KORVEL_PLAIN_TESTS in
# tests/CMakeLists.txt). -O1, as the sanitizers advise: quicker to build.
export KORVEL_TEST_TIME_SCALE=$(awk -v s="$(korvel_test_time_scale)" 'BEGIN { print (s > 3) ? s : 3 }')
korvel_build "$KORVEL_ROOT/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" -DKORVEL_SANITIZE=ON \
    -DKORVEL_SANITIZER_PASS=ON -DKORVEL_PLAIN_TESTS="$KORVEL_ROOT/build/bin" \
    -DKORVEL_TEST_TIMES="$KORVEL_ROOT/build-asan/test-times.txt"
phase_done "build with sanitizers"
cd "$KORVEL_ROOT/build-asan"
rm -f test-times.txt ./*.functions.xml
# The slow unwinder gives leak reports whole stacks through Qt, which is built
# without frame pointers, and so lets tests/lsan.supp match. The updaters that
# never reach the leak check (tests/common/updatersandbox.cpp) switch to the
# fast one.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:fast_unwind_on_malloc=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$KORVEL_ROOT/tests/lsan.supp:print_suppressions=0
sanitized=0
ctest --output-on-failure -j "$parallel" "$@" || sanitized=$?
phase_done "tests with sanitizers"

echo "ctest: $status, ctest under the sanitizers: $sanitized"
[ "$status" -eq 0 ] && [ "$sanitized" -eq 0 ]
