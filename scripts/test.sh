#!/usr/bin/env bash
# Installs what is missing, builds in build/ and runs every test through ctest;
# then builds again with the sanitizers in build-asan/ and runs every test there.
# With KORVEL_QT_WIN64 naming a Windows Qt, it first cross-builds the Windows
# bundle (scripts/windows.sh), and the *_wine tests run it under Wine; without
# one they report a skip.
set -euo pipefail
source "$(dirname "$0")/common.sh"

korvel_install_packages
if [ -n "${KORVEL_QT_WIN64:-}" ]; then
    # With the keyed updater that the signature tests run under Wine.
    bash "$KORVEL_ROOT/scripts/windows.sh" -DKORVEL_KEYED_TEST_UPDATER=ON
fi
korvel_build "$KORVEL_ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo

# The tests mostly wait (on servers, timers and Wine), so several run at once,
# even on two cores; each has its own servers, ports, X display and temporary
# directories. The longest start first (COST in tests/CMakeLists.txt).
parallel=${CTEST_PARALLEL_LEVEL:-$(($(nproc) * 2))}
cd "$KORVEL_ROOT/build"
status=0
ctest --output-on-failure -j "$parallel" "$@" || status=$?

# The same tests once more, built with AddressSanitizer and
# UndefinedBehaviorSanitizer in a build directory of their own. Everything
# runs slower there: every wait of the tests stretches three times, or more
# when KORVEL_TEST_TIME_SCALE asks for more. It is set before the build, so
# that ctest's own limits follow it too.
export KORVEL_TEST_TIME_SCALE=$(awk -v s="$(korvel_test_time_scale)" 'BEGIN { print (s > 3) ? s : 3 }')
korvel_build "$KORVEL_ROOT/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_SANITIZE=ON
cd "$KORVEL_ROOT/build-asan"
# The slow unwinder gives leak reports whole stacks through Qt, which is built
# without frame pointers, and so lets tests/lsan.supp match. The updaters that
# never reach the leak check (tests/common/updatersandbox.cpp) and the Xvfb
# window runs (tests/test_realwindow.sh) switch to the fast one.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:fast_unwind_on_malloc=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$KORVEL_ROOT/tests/lsan.supp:print_suppressions=0
# tst_downloadmanager_nginx is left out: it measures peak resident memory, which
# the sanitizer's quarantine of freed blocks (256 MB) and shadow memory inflate
# past any bound; its transfers run under the sanitizers in the other tests.
# The Wine tests run the Windows build, which has no sanitizers.
sanitized=0
ctest --output-on-failure -j "$parallel" -E '^tst_downloadmanager_nginx$|_wine$' "$@" || sanitized=$?

echo "ctest: $status, ctest under the sanitizers: $sanitized"
[ "$status" -eq 0 ] && [ "$sanitized" -eq 0 ]
