#!/usr/bin/env bash
# The README's first command: scripts/demo.sh on the programs this build made,
# faster than on screen. Fails when the demo does.
# Usage: test_demo.sh BUILD SOURCE
set -euo pipefail
build=$1
source=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
KORVEL_DEMO_BIN="$build/bin" KORVEL_DEMO_RATE=40m TMPDIR="$tmp" DISPLAY= \
    bash "$source/scripts/demo.sh" >"$tmp/demo.log" 2>&1 || status=$?
cat "$tmp/demo.log"
[ "$status" -eq 0 ] || { echo "FAIL: the demo ended with status $status" >&2; exit 1; }
grep -q '^Demo succeeded' "$tmp/demo.log" || { echo "FAIL: no success line" >&2; exit 1; }
