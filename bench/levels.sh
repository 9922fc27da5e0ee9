#!/usr/bin/env bash
# Which zstd levels korvel-manifest uses, by measurement: size and time of
# a compressed copy and of a patch at each level, with the tool's settings
# (long-distance matching; the copy's window 2^23 and two worker threads,
# the patch's window spanning the larger file and one thread, as
# "zstd --patch-from" makes it), through zstd's CLI, which is the same
# library. Two samples:
#  - synthetic: BENCH_MB MB of random bytes (default 32; the goal's 200 MB
#    takes six times as long) and the same with 0.15 % overwritten in pieces
#    of 16 to 1024 bytes (300 KB on 200 MB);
#  - esbuild.exe for Windows x64 from npm, 0.25.11 to 0.25.12 (10 MB).
# Then the tool itself (KORVEL_MANIFEST, default build/bin/korvel-manifest;
# give another build's to compare) on the synthetic component with two
# earlier releases: its wall and CPU time and what it made.
#   bench/levels.sh [LEVEL...]      (default 1 3 6 9 12 15 16 17 19)
# Needs npm and the registry for esbuild; BENCH_DIR keeps the scratch space.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"

TOOL=${KORVEL_MANIFEST:-$KORVEL_ROOT/build/bin/korvel-manifest}
MB=${BENCH_MB:-32}
LEVELS=("$@")
[ ${#LEVELS[@]} -gt 0 ] || LEVELS=(1 3 6 9 12 15 16 17 19)
WORK=${BENCH_DIR:-$(mktemp -d)}
[ -z "${BENCH_DIR:-}" ] && trap 'rm -rf "$WORK"' EXIT
command -v zstd >/dev/null || korvel_install_packages zstd

# Three releases of the synthetic component: 1, 2 (0.15 % changed) and 3
# (0.15 % more).
mkdir -p "$WORK/syn/1" "$WORK/syn/2" "$WORK/syn/3"
if [ ! -f "$WORK/syn/3/data.bin" ]; then
    python3 - "$WORK/syn" "$MB" <<'PY'
import os, random, sys
root, mb = sys.argv[1], int(sys.argv[2])
rng = random.Random(33)
data = bytearray(rng.randbytes(mb << 20))
for release in (1, 2, 3):
    if release > 1:
        changed = 0
        while changed < len(data) * 15 // 10000:
            n = rng.randrange(16, 1025)
            at = rng.randrange(0, len(data) - n)
            data[at:at + n] = rng.randbytes(n)
            changed += n
    with open(os.path.join(root, str(release), "data.bin"), "wb") as f:
        f.write(data)
PY
fi
if [ ! -f "$WORK/esbuild/0.25.12/esbuild.exe" ]; then
    command -v npm >/dev/null || korvel_install_packages nodejs npm
    for version in 0.25.11 0.25.12; do
        mkdir -p "$WORK/esbuild/$version"
        (cd "$WORK/esbuild/$version" && npm pack --silent "@esbuild/win32-x64@$version" >/dev/null \
            && tar -xzf esbuild-win32-x64-"$version".tgz package/esbuild.exe \
            && mv package/esbuild.exe . && rm -rf package ./*.tgz)
    done
fi

window() { # the patch's window, as the tool sets it
    python3 -c "import sys; n = max(int(a) for a in sys.argv[1:]); print(min(31, max(10, n.bit_length())))" \
        "$(stat -c %s "$1")" "$(stat -c %s "$2")"
}
# measure KIND LEVEL OLD NEW: "bytes seconds(wall) seconds(CPU)"
measure() {
    local kind=$1 level=$2 old=$3 new=$4 out=$WORK/out.zst args
    if [ "$kind" = copy ]; then
        args=(--long=23 -T2 "$new")
    else
        args=(--long="$(window "$old" "$new")" --single-thread --patch-from="$old" "$new")
    fi
    /usr/bin/time -f '%e %U %S' -o "$WORK/time" zstd -q -f -"$level" "${args[@]}" -o "$out" 2>/dev/null
    echo "$(stat -c %s "$out") $(awk '{ printf "%.1f %.1f", $1, $2 + $3 }' "$WORK/time")"
}

echo "| level | synthetic copy | time (CPU) | synthetic patch | time (CPU) | esbuild copy | time (CPU) | esbuild patch | time (CPU) |"
echo "|---|---|---|---|---|---|---|---|---|"
for level in "${LEVELS[@]}"; do
    row="| $level"
    for pair in "syn/2/data.bin syn/3/data.bin" "esbuild/0.25.11/esbuild.exe esbuild/0.25.12/esbuild.exe"; do
        set -- $pair
        for kind in copy patch; do
            read -r bytes wall cpu < <(measure "$kind" "$level" "$WORK/$1" "$WORK/$2")
            row+=" | $bytes | $wall s ($cpu s)"
        done
    done
    echo "$row |"
done

if [ -x "$TOOL" ]; then
    rm -rf "$WORK/syn/3/korvel-delta" "$WORK/syn/3/manifest.xml"
    echo
    echo "korvel-manifest on the synthetic $MB MB component, --previous 2 and 1 ($TOOL):"
    /usr/bin/time -f 'wall %e s, CPU %U s user + %S s system, peak %M KB' \
        "$TOOL" "$WORK/syn/3" http://127.0.0.1/r/ -o "$WORK/syn/3/manifest.xml" \
        --previous "$WORK/syn/2" --previous "$WORK/syn/1" || true
    ls -l "$WORK/syn/3/korvel-delta" | awk 'NR > 1 { print "  " $5, $9 }'
fi
