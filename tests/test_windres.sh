#!/usr/bin/env bash
# The Windows resources cannot be linked here, but they can be compiled: a
# Windows build must not fail on them first. Usage: test_windres.sh BUILD SOURCE
set -euo pipefail
source_dir=${2:-$(cd "$(dirname "$0")/.." && pwd)}
rc="$source_dir/platform/korvelupdater.rc"
windres=x86_64-w64-mingw32-windres
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

command -v "$windres" >/dev/null || fail "$windres is missing (package binutils-mingw-w64-x86-64)"
# No MinGW compiler here: the host's C preprocessor reads the .rc.
"$windres" --preprocessor=cpp -I "$source_dir/platform" -i "$rc" -O coff -o "$work/korvelupdater.o" \
    || fail "windres could not compile $rc"
"$windres" -i "$work/korvelupdater.o" -O rc -o "$work/back.rc" || fail "windres could not read its own output"
"$windres" -i "$work/korvelupdater.o" -O res -o "$work/korvelupdater.res" || fail "no .res"

text=$(cat "$work/back.rc")
grep -q '^"IDI_ICON1" 14 /\* RT_GROUP_ICON \*/' <<<"$text" || fail "no icon group IDI_ICON1"
icons=$(grep -c ' 3 /\* RT_ICON \*/' <<<"$text" || true)
[ "$icons" -ge 1 ] || fail "the icon group has no images"
grep -q '^1 VERSIONINFO' <<<"$text" || fail "no version record"
grep -q 'VALUE "FileVersion", "0.0.0.0"$' <<<"$text" || fail "FileVersion is not 0.0.0.0"
grep -q 'VALUE "ProductVersion", "0.0.0.0"$' <<<"$text" || fail "ProductVersion is not 0.0.0.0"

# The fixed part of the version record: its signature and structure version,
# then file and product version (two 32-bit words each), all zero.
hex=$(od -An -v -tx1 "$work/korvelupdater.res" | tr -d ' \n')
grep -q 'bd04effe00000100'"$(printf '0%.0s' {1..32})" <<<"$hex" \
    || fail "FILEVERSION/PRODUCTVERSION are not 0,0,0,0"

echo "windres: icon group IDI_ICON1 with $icons images, version record 0.0.0.0"
