#!/usr/bin/env bash
# What korvel-manifest writes for a real program that changes between
# releases: esbuild.exe for Windows x64 from npm (0.25.10, 0.25.11 and
# 0.25.12, about 10 MB each). Prints, for the release 0.25.12 with the two
# before it as --previous, the whole file, its compressed copy (what an
# update downloads for a component no earlier release had) and each patch,
# with the tool's time, and checks every patch with zstd's own CLI.
#   bench/delta.sh
# Then the update itself: the Release updater (built in build-bench, as
# bench/run.sh builds it) against a local nginx limited to 12.5 MB/s
# (100 Mbit/s): the bytes nginx sent for the components and the time from
# start to exit, for the whole file, the patch and the compressed copy; an
# unchanged 1 GiB component; and the peak memory of the compressed and the
# patch paths against the whole file's.
# Environment: KORVEL_MANIFEST (the tool; default build/bin/korvel-manifest,
# built if missing), BENCH_DIR (scratch space, default a temporary directory),
# BENCH_PAIRS (runs of each update, default 3), KORVEL_MANIFEST_BEFORE (another
# build of the tool whose --check --previous is measured beside it).
# Needs npm and the registry; not part of the test command.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"

TOOL=${KORVEL_MANIFEST:-$KORVEL_ROOT/build/bin/korvel-manifest}
if [ ! -x "$TOOL" ]; then
    korvel_install_packages
    cmake -S "$KORVEL_ROOT" -B "$KORVEL_ROOT/build" >/dev/null
    cmake --build "$KORVEL_ROOT/build" -j2 --target korvel-manifest >/dev/null
fi
# BENCH_CASES=big: only the cases that need no registry (memory, 200 MB, --check);
# BENCH_CASES=200mb: only the 200 MB release, its update and its --check;
# BENCH_CASES=check: only --check --previous on the 200 MB and the 1 GiB release.
CASES=${BENCH_CASES:-all}
size() { stat -c %s "$1"; }
WORK=${BENCH_DIR:-$(mktemp -d)}
[ -z "${BENCH_DIR:-}" ] && trap 'rm -rf "$WORK"' EXIT
if [ "$CASES" = all ]; then
command -v npm >/dev/null || korvel_install_packages nodejs npm
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

whole=$(size "$new/esbuild.exe" 2>/dev/null || echo 1)
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
fi

# --- The update --------------------------------------------------------------
PAIRS=${BENCH_PAIRS:-3}
BUILD=$KORVEL_ROOT/build-bench
[ "$CASES" = check ] || korvel_build "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
SRV=$WORK/srv
rm -rf "$SRV"
mkdir -p "$SRV/rel" "$SRV/big"
# The memory cases (big/) are not slowed: only their peak counts.
korvel_start_nginx "$WORK/nginx" "$SRV" 'limit_rate 12500k; location /big/ { limit_rate 0; }'
trap 'korvel_stop_nginx; [ -z "${BENCH_DIR:-}" ] && rm -rf "$WORK"' EXIT
PORT=$KORVEL_NGINX_PORT
BASE=http://127.0.0.1:$PORT

if [ "$CASES" = all ]; then
cp "$new/esbuild.exe" "$SRV/rel/"
"$TOOL" "$SRV/rel" "$BASE/rel/" --previous "$WORK/0.25.11" -o "$SRV/rel/manifest.xml" 2>/dev/null
# The same release as an updater from before saw it: the whole file only.
sed -e 's|<sha256>[^<]*</sha256>||' -e 's|<compressed[^>]*>[^<]*</compressed>||' \
    -e 's|<patch [^>]*>[^<]*</patch>||' "$SRV/rel/manifest.xml" >"$SRV/old-format.xml"
fi

INST=$WORK/inst
HOMEDIR=$WORK/home
mkdir -p "$HOMEDIR"

# anon_peak PID [child]: the peak RssAnon in kB of PID, or of its first child
# (the program a /usr/bin/time runs), sampled every 50 ms while PID runs. The
# pages of mapped files are not in it.
anon_peak() {
    local pid=$1 watched="" anon=0 now
    [ "${2:-}" = child ] || watched=$pid
    while kill -0 "$pid" 2>/dev/null; do
        [ -n "$watched" ] || watched=$(pgrep -P "$pid" || true)
        now=$( [ -n "$watched" ] && awk '/^RssAnon:/ { print $2 }' "/proc/$watched/status" 2>/dev/null || true)
        [ -n "$now" ] && [ "$now" -gt "$anon" ] && anon=$now
        sleep 0.05
    done
    echo "$anon"
}

# update MANIFEST [INSTALLED]: one update into an install folder that holds
# INSTALLED as esbuild.exe (or the file named by INSTALLED_AS); prints
# "seconds peak_rss_kb component_bytes".
update() {
    local manifest=$1 installed=${2:-}
    rm -rf "$INST"
    mkdir -p "$INST"
    cp "$BUILD/bin/KorvelUpdater" "$INST/"
    printf '#!/bin/sh\nexit 0\n' >"$INST/KorvelWindows.exe"
    chmod +x "$INST/KorvelWindows.exe"
    [ -z "$installed" ] || cp "$installed" "$INST/${INSTALLED_AS:-esbuild.exe}"
    echo "$BASE/$manifest" >"$HOMEDIR/KorvelWindowsUpdaterTemp.txt"
    : >"$WORK/nginx/access.log"
    HOME="$HOMEDIR" QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software KORVEL_UPDATER_LOG="$WORK/updater.log" \
        /usr/bin/time -f '%e %M %x' -o "$WORK/time.txt" "$INST/KorvelUpdater" >/dev/null 2>&1 &
    # The peak of its anonymous memory: mapped files' pages count in %M, not here.
    local timer=$! anon
    anon=$(anon_peak "$timer" child)
    wait "$timer" || true
    read -r secs rss status < <(tail -n 1 "$WORK/time.txt")
    [ "$status" = 12 ] || { echo "the update of $manifest ended with $status" >&2; tail "$WORK/updater.log" >&2; exit 1; }
    # nginx's combined format: "request" status bytes ...; the manifest's own loads are not counted.
    local bytes
    bytes=$(awk -F'"' '$2 !~ /\.xml / { split($3, f, " "); sum += f[2] } END { print sum + 0 }' "$WORK/nginx/access.log")
    echo "$secs $rss $bytes $anon"
}

# median of column N over PAIRS runs of update ARGS...
median_of() {
    local column=$1 i
    shift
    for ((i = 0; i < PAIRS; ++i)); do update "$@"; done | awk -v c="$column" '{ print $c }' | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

row_update() { # label manifest [installed]
    local runs
    runs=$(for ((i = 0; i < PAIRS; ++i)); do update "${@:2}"; done)
    local secs bytes
    secs=$(awk '{ print $1 }' <<<"$runs" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    bytes=$(awk 'NR == 1 { print $3 }' <<<"$runs")
    printf '| %-44s | %11s | %6.2f %% | %6.2f s |\n' "$1" "$bytes" \
        "$(awk -v b="$bytes" -v w="$whole" 'BEGIN { print 100 * b / w }')" "$secs"
}

if [ "$CASES" = all ]; then
echo
echo "The update of esbuild.exe to 0.25.12 at 12.5 MB/s, median of $PAIRS runs, start to exit:"
echo
echo "| what the updater fetched                     | bytes sent  | of whole | time     |"
echo "|---|---:|---:|---:|"
row_update "whole file (a manifest without the new elements)" old-format.xml "$WORK/0.25.11/esbuild.exe"
row_update "patch (0.25.11 installed)" rel/manifest.xml "$WORK/0.25.11/esbuild.exe"
row_update "compressed copy (nothing installed)" rel/manifest.xml
row_update "nothing (0.25.12 installed)" rel/manifest.xml "$new/esbuild.exe"
fi

if [ "$CASES" = all ] || [ "$CASES" = big ]; then
# An unchanged 1 GiB component: the time its hash takes, from the log's
# timestamps (the manifest's items known to the line that says the item is
# unchanged; no transfer runs, so no line names a request).
head -c $((1 << 30)) /dev/urandom >"$WORK/c1g.bin"
sha=$(sha256sum "$WORK/c1g.bin" | cut -c1-64)
printf '<model><item><name>c1g.bin</name><url>%s/big/c1g.bin</url><installlocation>installdir</installlocation><filesize>%s</filesize><sha256>%s</sha256></item></model>\n' \
    "$BASE" $((1 << 30)) "$sha" >"$SRV/big/unchanged.xml"
hashes=()
for ((i = 0; i < PAIRS; ++i)); do
    rm -f "$WORK/updater.log"
    INSTALLED_AS=c1g.bin update big/unchanged.xml "$WORK/c1g.bin" >/dev/null
    hashes+=("$(awk '/Xml count: 1/ { split($1, t, "T"); a = t[2] } /Unchanged:/ { split($1, t, "T"); b = t[2] }
        function s(x,  p) { split(x, p, ":"); return p[1] * 3600 + p[2] * 60 + p[3] }
        END { printf "%.3f", s(substr(b, 1, 12)) - s(substr(a, 1, 12)) }' "$WORK/updater.log")")
done
printf '\nAn unchanged 1 GiB component, hashed: %s s (median of %s; each run: %s)\n' \
    "$(printf '%s\n' "${hashes[@]}" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')" \
    "$PAIRS" "${hashes[*]}"

# Peak memory: whole file, compressed copy and patch, for a component of
# 16 MiB and of 1 GiB (the patch at the largest size it is made for, 64 MiB).
memory_case() { # name size_bytes
    local name=$1 size=$2
    head -c "$size" /dev/urandom >"$WORK/$name.old"
    cp "$WORK/$name.old" "$WORK/$name.new"
    printf 'changed' | dd of="$WORK/$name.new" bs=1 seek=$((size / 2)) conv=notrunc status=none
    cp "$WORK/$name.new" "$SRV/big/$name"
    zstd -q -f -3 -c "$WORK/$name.new" >"$SRV/big/$name.zst"
    local sha item
    sha=$(sha256sum "$WORK/$name.new" | cut -c1-64)
    item="<name>$name</name><url>$BASE/big/$name</url><installlocation>installdir</installlocation><filesize>$size</filesize><sha256>$sha</sha256>"
    printf '<model><item>%s</item></model>\n' "$item" >"$SRV/big/$name-whole.xml"
    printf '<model><item>%s<compressed size="%s" sha256="%s">%s</compressed></item></model>\n' "$item" \
        "$(stat -c %s "$SRV/big/$name.zst")" "$(sha256sum "$SRV/big/$name.zst" | cut -c1-64)" \
        "$BASE/big/$name.zst" >"$SRV/big/$name-copy.xml"
    if [ "$size" -le $((2 << 30)) ]; then
        zstd -q -f -3 --long=31 --patch-from="$WORK/$name.old" -c "$WORK/$name.new" >"$SRV/big/$name.patch"
        printf '<model><item>%s<patch base="%s" size="%s" sha256="%s">%s</patch></item></model>\n' "$item" \
            "$(sha256sum "$WORK/$name.old" | cut -c1-64)" "$(stat -c %s "$SRV/big/$name.patch")" \
            "$(sha256sum "$SRV/big/$name.patch" | cut -c1-64)" "$BASE/big/$name.patch" >"$SRV/big/$name-patch.xml"
    fi
    local whole_rss copy_rss patch_rss whole_anon copy_anon patch_anon
    whole_rss=$(INSTALLED_AS=$name median_of 2 "big/$name-whole.xml" "$WORK/$name.old")
    whole_anon=$(INSTALLED_AS=$name median_of 4 "big/$name-whole.xml" "$WORK/$name.old")
    copy_rss=$(INSTALLED_AS=$name median_of 2 "big/$name-copy.xml" "$WORK/$name.old")
    copy_anon=$(INSTALLED_AS=$name median_of 4 "big/$name-copy.xml" "$WORK/$name.old")
    patch_rss=$(INSTALLED_AS=$name median_of 2 "big/$name-patch.xml" "$WORK/$name.old")
    patch_anon=$(INSTALLED_AS=$name median_of 4 "big/$name-patch.xml" "$WORK/$name.old")
    megabytes() { awk -v k="$1" 'BEGIN { printf "%.1f MB", k / 1024 }'; }
    printf '| %-8s | %11s | %11s | %11s | %11s | %11s | %11s |\n' "$name" "$(megabytes "$whole_rss")" \
        "$(megabytes "$whole_anon")" "$(megabytes "$copy_rss")" "$(megabytes "$copy_anon")" \
        "$(megabytes "$patch_rss")" "$(megabytes "$patch_anon")"
    rm -f "$WORK/$name.old" "$WORK/$name.new" "$SRV/big/$name" "$SRV/big/$name.zst" "$SRV/big/$name.patch"
}
echo
echo "Peak memory of the updater (median of $PAIRS), all of it and the anonymous part (without mapped files' pages),"
echo "the compressed copy and the patch made with zstd -3:"
echo
echo "| size     | whole file  | (anonymous) | compressed  | (anonymous) | patch       | (anonymous) |"
echo "|---|---:|---:|---:|---:|---:|---:|"
memory_case 16m $((16 << 20))
memory_case 64m $((64 << 20))
memory_case 1g $((1 << 30))
fi

# 200 MB with 300 KB changed, released by the tool with the two releases
# before it as --previous: what a user of the release before fetches.
mkdir -p "$WORK/r1" "$WORK/r2" "$SRV/r3"
head -c $((200 * 1000 * 1000)) /dev/urandom >"$WORK/r1/data.dat"
cp "$WORK/r1/data.dat" "$WORK/r2/data.dat"
head -c $((150 * 1000)) /dev/urandom | dd of="$WORK/r2/data.dat" bs=1000 seek=1000 conv=notrunc status=none
cp "$WORK/r2/data.dat" "$SRV/r3/data.dat"
head -c $((150 * 1000)) /dev/urandom | dd of="$SRV/r3/data.dat" bs=1000 seek=150000 conv=notrunc status=none
start=$(date +%s.%N)
# What the tool says of each patch, and why there is none; not its progress.
"$TOOL" "$SRV/r3" "$BASE/r3/" --previous "$WORK/r2" --previous "$WORK/r1" -o "$SRV/r3/manifest.xml" \
    2> >(grep -v ' of its compressed copy and patches made$' >&2)
tool_seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
if [ "$CASES" != check ]; then
read -r secs rss bytes anon < <(INSTALLED_AS=data.dat update r3/manifest.xml "$WORK/r2/data.dat")
printf '\n200 MB, 300 KB changed (the tool: %s s): a user of the release before fetched %s bytes, %.2f %% of the file, in %s s (peak %.1f MB, anonymous %.1f MB)\n' \
    "$tool_seconds" "$bytes" "$(awk -v b="$bytes" 'BEGIN { print 100 * b / 200000000 }')" "$secs" \
    "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')" "$(awk -v k="$anon" 'BEGIN { print k / 1024 }')"
fi

# --check on that release and on the 1 GiB one (whole file, copy, patch):
# its time and peak memory, against one download of the release with curl.
check_case() { # label manifest listed_bytes
    /usr/bin/time -f '%e %M' -o "$WORK/check-time.txt" "$TOOL" --check "$BASE/$2" >"$WORK/check.txt" 2>/dev/null || true
    read -r secs rss < "$WORK/check-time.txt"
    local curl_secs
    curl_secs=$(curl -s -o /dev/null -w '%{time_total}' "$BASE/${2%/*}/$4")
    printf '| %-28s | %8s s | %8s s | %8.1f MB | %s |\n' "$1" "$secs" "$curl_secs" \
        "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')" "$(tail -n 1 "$WORK/check.txt")"
}
# peak_anon OUT COMMAND...: runs COMMAND, its output to OUT; prints "seconds
# peak_kb" with the peak of its RssAnon (the scratch file's pages not in it).
peak_anon() {
    local out=$1 start pid anon
    shift
    start=$(date +%s.%N)
    "$@" >"$out" 2>/dev/null &
    pid=$!
    anon=$(anon_peak "$pid")
    wait "$pid" || true
    echo "$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') $anon"
}
# check_previous_case LABEL MANIFEST DIR...: --check with each DIR as --previous, so
# that every patch is applied, by this tool and by KORVEL_MANIFEST_BEFORE.
check_previous_case() {
    local label=$1 manifest=$2 tool which secs anon dir previous=()
    shift 2
    for dir in "$@"; do previous+=(--previous "$dir"); done
    for which in after before; do
        tool=$TOOL
        if [ "$which" = before ]; then
            [ -n "${KORVEL_MANIFEST_BEFORE:-}" ] || continue
            tool=$KORVEL_MANIFEST_BEFORE
        fi
        read -r secs anon < <(peak_anon "$WORK/check.txt" "$tool" --check "$BASE/$manifest" "${previous[@]}")
        printf '| %-34s | %-6s | %8s s | %9.1f MB | %s |\n' "$label" "$which" "$secs" \
            "$(awk -v k="$anon" 'BEGIN { print k / 1024 }')" "$(tail -n 1 "$WORK/check.txt")"
    done
}
if [ "$CASES" != 200mb ]; then
head -c $((1 << 30)) /dev/urandom >"$WORK/g.old"
cp "$WORK/g.old" "$SRV/big/g.dat"
printf 'changed' | dd of="$SRV/big/g.dat" bs=1 seek=$((1 << 29)) conv=notrunc status=none
zstd -q -f -3 --long=31 --patch-from="$WORK/g.old" -c "$SRV/big/g.dat" >"$SRV/big/g.patch"
zstd -q -f -3 -c "$SRV/big/g.dat" >"$SRV/big/g.zst"
sha=$(sha256sum "$SRV/big/g.dat" | cut -c1-64)
printf '<model><item><name>g.dat</name><url>%s/big/g.dat</url><installlocation>installdir</installlocation><filesize>%s</filesize><sha256>%s</sha256><compressed size="%s" sha256="%s">%s/big/g.zst</compressed><patch base="%s" size="%s" sha256="%s">%s/big/g.patch</patch></item></model>\n' \
    "$BASE" $((1 << 30)) "$sha" "$(size "$SRV/big/g.zst")" "$(sha256sum "$SRV/big/g.zst" | cut -c1-64)" "$BASE" \
    "$(sha256sum "$WORK/g.old" | cut -c1-64)" "$(size "$SRV/big/g.patch")" "$(sha256sum "$SRV/big/g.patch" | cut -c1-64)" \
    "$BASE" >"$SRV/big/g.xml"
mkdir -p "$WORK/g-previous"
ln -f "$WORK/g.old" "$WORK/g-previous/g.dat"
fi
if [ "$CASES" = check ]; then
    echo
    echo "korvel-manifest --check --previous (every patch applied; \"before\" is KORVEL_MANIFEST_BEFORE):"
    echo
    echo "| release                            | tool   | --check    | peak RssAnon | summary |"
    echo "|---|---|---:|---:|---|"
    check_previous_case "200 MB (r3, patches from r2 and r1)" r3/manifest.xml "$WORK/r2" "$WORK/r1"
    check_previous_case "1 GiB (g.dat, copy, patch)" big/g.xml "$WORK/g-previous"
    rm -rf "$WORK/g.old" "$WORK/g-previous" "$SRV/big/g.dat" "$SRV/big/g.zst" "$SRV/big/g.patch"
    exit 0
fi
echo
echo "korvel-manifest --check (every file fetched, each with a probe of its last byte):"
echo
echo "| release                      | --check    | curl of the whole file | peak memory | summary |"
echo "|---|---:|---:|---:|---|"
check_case "200 MB (r3 and what it lists)" r3/manifest.xml 200000000 data.dat
[ "$CASES" = 200mb ] && exit 0
check_case "1 GiB (g.dat, copy, patch)" big/g.xml $((1 << 30)) g.dat
rm -f "$WORK/g.old" "$SRV/big/g.dat" "$SRV/big/g.zst" "$SRV/big/g.patch"
