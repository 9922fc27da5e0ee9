#!/usr/bin/env bash
# Installs what is missing, builds in build/ and runs every test through ctest;
# then builds again with the sanitizers in build-asan/ and runs its tests there.
# With KORVEL_QT_WIN64 naming a Windows Qt, it first cross-builds the Windows
# bundle (scripts/windows.sh), and the *_wine tests run it under Wine; without
# one they report a skip.
set -euo pipefail
source "$(dirname "$0")/common.sh"

# The seconds of each phase, printed at the end: where the run stands
# against its budget (docs/testing.md). Beside them, the whole
# machine's processor seconds in that phase (/proc/stat: every process, Wine's
# server and whatever else runs, included): busy, idle waiting for the disk,
# and idle.
phases=()
phase_start=$SECONDS
cpu_seconds() {
    awk -v hz="$(getconf CLK_TCK)" '/^cpu / { printf "%d %d %d", ($2 + $3 + $4 + $7 + $8) / hz, $6 / hz, $5 / hz }' /proc/stat
}
phase_cpu=$(cpu_seconds)
phase_done() {
    local now before i
    now=($(cpu_seconds))
    before=($phase_cpu)
    phases+=("$1" $((SECONDS - phase_start)))
    for i in 0 1 2; do
        phases+=($((now[i] - before[i])))
    done
    phase_start=$SECONDS
    phase_cpu=${now[*]}
}
report() {
    set +e
    local i total=0
    echo "== Time of each phase (seconds; the machine's processor seconds busy, waiting for the disk, idle)"
    for ((i = 0; i < ${#phases[@]}; i += 5)); do
        printf '  %-28s %5d %7d %7d %7d\n' "${phases[@]:i:5}"
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
# in tests/CMakeLists.txt). Not more: with one core busy, the test phases
# keep both processors full (the machine's figures at the end), and more at
# once made every test slower.
parallel=${CTEST_PARALLEL_LEVEL:-$(($(nproc) * 3))}
run_tests() {
    cd "$1"
    rm -f test-times.txt ./*.functions.xml
    ctest --output-on-failure -j "$parallel" "${@:2}"
}
status=0
run_tests "$KORVEL_ROOT/build" "$@" || status=$?
phase_done "tests"

# The product once more with AddressSanitizer and UndefinedBehaviorSanitizer,
# in a build directory of their own. Its tests are named asan.<test>, wait at
# least three times as long and carry the sanitizers' options
# (tests/CMakeLists.txt). Only the tests the sanitizers add to are there, and
# the tests that only drive the programs from outside are the plain build's,
# which are not built again (KORVEL_SANITIZER_PASS, KORVEL_PLAIN_TESTS). -O1,
# as the sanitizers advise: quicker to build.
korvel_build "$KORVEL_ROOT/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" -DKORVEL_SANITIZE=ON \
    -DKORVEL_SANITIZER_PASS=ON -DKORVEL_PLAIN_TESTS="$KORVEL_ROOT/build/test-bin" \
    -DKORVEL_TEST_TIMES="$KORVEL_ROOT/build-asan/test-times.txt"
phase_done "build with sanitizers"
sanitized=0
run_tests "$KORVEL_ROOT/build-asan" "$@" || sanitized=$?
phase_done "tests with sanitizers"

echo "ctest: $status, ctest under the sanitizers: $sanitized"
[ "$status" -eq 0 ] && [ "$sanitized" -eq 0 ]
