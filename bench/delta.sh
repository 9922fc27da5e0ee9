#!/usr/bin/env bash
# What korvel-manifest writes for a real program that changes between
# releases: esbuild.exe for Windows x64 from npm (0.25.10, 0.25.11 and
# 0.25.12, about 10 MB each). Prints, for the release 0.25.12 with the two
# before it as --previous, the whole file, its compressed copy (what an
# update downloads for a component no earlier release had) and each patch,
# with the tool's time, and checks every patch with zstd's own CLI.
#   bench/delta.sh
# Environment: KORVEL_MANIFEST (the tool; default build/bin/korvel-manifest,
# built if missing), BENCH_DIR (scratch space, default a temporary directory).
# Needs npm and the registry; not part of the test command.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"

TOOL=${KORVEL_MANIFEST:-$KORVEL_ROOT/build/bin/korvel-manifest}
if [ ! -x "$TOOL" ]; then
    korvel_install_packages
    cmake -S "$KORVEL_ROOT" -B "$KORVEL_ROOT/build" >/dev/null
    cmake --build "$KORVEL_ROOT/build" -j2 --target korvel-manifest >/dev/null
fi
command -v npm >/dev/null || korvel_install_packages nodejs npm

WORK=${BENCH_DIR:-$(mktemp -d)}
[ -z "${BENCH_DIR:-}" ] && trap 'rm -rf "$WORK"' EXIT
VERSIONS=(0.25.10 0.25.11 0.25.12)
for version in "${VERSIONS[@]}"; do
    mkdir -p "$WORK/$version"
    if [ ! -f "$WORK/$version/esbuild.exe" ]; then
        (cd "$WORK/$version" && npm pack --silent "@esbuild/win32-x64@$version" >/dev/null \
            && tar -xzf esbuild-win32-x64-"$version".tgz package/esbuild.exe \
            && mv package/esbuild.exe . && rm -rf package ./*.tgz)
    fi
done

new=$WORK/0.25.12
rm -rf "$new/korvel-delta" "$new/manifest.xml"
start=$(date +%s.%N)
"$TOOL" "$new" https://updates.example.org/korvel/0.25.12/ \
    --previous "$WORK/0.25.11" --previous "$WORK/0.25.10" -o "$new/manifest.xml"
seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')

size() { stat -c %s "$1"; }
whole=$(size "$new/esbuild.exe")
row() { # label file
    local bytes
    bytes=$(size "$2")
    printf '| %-38s | %11s | %6.2f %% |\n' "$1" "$bytes" "$(awk -v b="$bytes" -v w="$whole" 'BEGIN { print 100 * b / w }')"
}
echo "korvel-manifest on esbuild.exe 0.25.12 (--previous 0.25.11 --previous 0.25.10): $seconds s"
echo
echo "| what an update downloads                | bytes       | of whole |"
echo "|---|---:|---:|"
row "whole file (url)" "$new/esbuild.exe"
row "compressed copy (no earlier file)" "$new/korvel-delta/esbuild.exe.zst"
for version in 0.25.11 0.25.10; do
    hash=$(sha256sum "$WORK/$version/esbuild.exe" | cut -c1-16)
    patch=$new/korvel-delta/esbuild.exe.from-$hash.zstpatch
    if [ -f "$patch" ]; then
        row "patch from $version" "$patch"
        zstd -q -d --long=31 --patch-from="$WORK/$version/esbuild.exe" "$patch" -o "$WORK/check" -f
        cmp -s "$WORK/check" "$new/esbuild.exe" || { echo "the patch from $version does not give 0.25.12" >&2; exit 1; }
    else
        echo "| patch from $version | none (not at most 90 % of the copy) | |"
    fi
done
printf '\nFor comparison: gzip -9 of the whole file %s bytes; zstd -19 --long=31 --patch-from=0.25.11 (the CLI) %s bytes\n' \
    "$(gzip -9c "$new/esbuild.exe" | wc -c)" \
    "$(zstd -q -19 --long=31 --patch-from="$WORK/0.25.11/esbuild.exe" -c "$new/esbuild.exe" 2>/dev/null | wc -c)"
