#!/usr/bin/env bash
# Measures what the renderer check adds to the start of a one-component update,
# and writes its section of bench/RESULTS.md.
#   bench/startup.sh [pairs]    (default 21 pairs)
# In a real window on Xvfb, whose Mesa OpenGL passes the check, runs with the
# check alternate with runs without it: QT_OPENGL set makes the updater leave
# the renderer to Qt, and neither the Linux nor the Windows Qt here reads it,
# so both sides draw with the same OpenGL. With a Windows build in
# build-win64/ (scripts/windows.sh), the same through it under Wine.
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "$0")/../scripts/common.sh"

PAIRS=${1:-21}
load=$(cut -d' ' -f1-3 /proc/loadavg)
korvel_install_packages
BUILD="$KORVEL_ROOT/build-bench"
korvel_build "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null

WORK=$(mktemp -d /var/tmp/korvel-startup.XXXXXX)
XVFB_PID=""
WINE_BUNDLE=$KORVEL_ROOT/build-win64/KorvelUpdater-win64
export WINEPREFIX=$WORK/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
cleanup() {
    [ -d "$WINEPREFIX" ] && { /usr/lib/wine/wineserver64 -k 2>/dev/null || true; }
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
    fi
    korvel_stop_nginx
    rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/srv" "$WORK/inst" "$WORK/home"
head -c 65536 /dev/urandom >"$WORK/srv/one.bin"
korvel_start_nginx "$WORK/nginx" "$WORK/srv" 'access_log off;'
echo "<model><item><name>one.bin</name><url>http://127.0.0.1:$KORVEL_NGINX_PORT/one.bin</url><installlocation>installdir</installlocation></item></model>" \
    >"$WORK/srv/m.xml"
cp "$BUILD/bin/KorvelUpdater" "$WORK/inst/"
printf '#!/bin/sh\nexit 0\n' >"$WORK/inst/KorvelWindows.exe"
chmod +x "$WORK/inst/KorvelWindows.exe"

exec 3>"$WORK/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 >/dev/null 2>&1 &
XVFB_PID=$!
exec 3>&-
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$WORK/display")"

# timed_run HOME INSTALLED WITH_CHECK COMMAND...: one whole update, which must
# end with 12; prints milliseconds: the whole process, until the download
# starts (the updater's own clock on its log against the launch), the process's
# CPU time (user and system), and the check's own ("-" without it).
timed_run() {
    local home=$1 installed=$2 check=$3 start status=0 at ms TIMEFORMAT='%3R %3U %3S'
    shift 3
    echo "http://127.0.0.1:$KORVEL_NGINX_PORT/m.xml" >"$home/KorvelWindowsUpdaterTemp.txt"
    rm -f "$installed"
    export QT_MESSAGE_PATTERN='%{time ss.zzz} %{message}' WINEQT_MESSAGE_PATTERN='%{time ss.zzz} %{message}'
    [ "$check" = yes ] || export QT_OPENGL=desktop WINEQT_OPENGL=desktop
    start=$EPOCHREALTIME
    { time "$@" >"$WORK/out.txt" 2>&1; } 2>"$WORK/time.txt" || status=$?
    unset QT_OPENGL WINEQT_OPENGL
    [ "$status" = 12 ] && cmp -s "$WORK/srv/one.bin" "$installed" \
        || { echo "status $status, or no component: $(tail -n 5 "$WORK/out.txt")" >&2; exit 1; }
    at=$(grep -m1 'download: URL=' "$WORK/out.txt" | cut -d' ' -f1)
    ms=$(grep -o 'checked in [0-9]* ms' "$WORK/out.txt" | grep -o '[0-9]*' || echo -)
    # The log has seconds within the minute.
    awk -v a="$start" -v at="$at" -v c="$ms" '{
        printf "%.0f %.0f %.0f %s\n", $1 * 1000, ((at - a % 60 + 60) % 60) * 1000, ($2 + $3) * 1000, c }' \
        "$WORK/time.txt"
}

# measure LABEL COMMAND...: PAIRS alternating pairs; adds the table row to rows.
rows=()
measure() {
    local label=$1 i k with without row
    local -a w=() d=() c=() dw=() dd=() dc=() checks=()
    shift
    for i in $(seq "$PAIRS"); do
        # Alternate which side goes first, so that neither pays for a cold cache.
        if [ $((i % 2)) = 1 ]; then
            with=$("$@" yes); without=$("$@" no)
        else
            without=$("$@" no); with=$("$@" yes)
        fi
        read -r -a with <<<"$with"
        read -r -a without <<<"$without"
        w+=("${without[0]}"); d+=("${without[1]}"); c+=("${without[2]}"); checks+=("${with[3]}")
        dw+=($((with[0] - without[0]))); dd+=($((with[1] - without[1]))); dc+=($((with[2] - without[2])))
    done
    rows+=("| $label | $(median "${w[@]}") / $(median "${d[@]}") / $(median "${c[@]}") \
| $(stats "${dw[@]}") | $(stats "${dd[@]}") | $(stats "${dc[@]}") | $(stats "${checks[@]}") |")
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        printf "%.0f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

stats() { # values... -> "median (min to max)"
    local sorted
    sorted=$(printf '%s\n' "$@" | sort -g)
    printf '%s (%.0f to %.0f)' "$(median "$@")" "$(head -n 1 <<<"$sorted")" "$(tail -n 1 <<<"$sorted")"
}

native() {
    HOME="$WORK/home" QT_QPA_PLATFORM=xcb QT_LOGGING_RULES=default.debug=true \
        timed_run "$WORK/home" "$WORK/inst/one.bin" "$1" "$WORK/inst/KorvelUpdater"
}
echo "Native, $PAIRS pairs"
measure "Linux build, xcb" native

if [ -f "$WINE_BUNDLE/KorvelUpdater.exe" ] && [ -x /usr/lib/wine/wine64 ]; then
    echo "Windows build under Wine, $PAIRS pairs"
    # A server that stays, so that no run pays for its start.
    mkdir -p "$WINEPREFIX"
    /usr/lib/wine/wineserver64 -p
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
    mkdir -p "$WINEPREFIX/drive_c/Korvel"
    cp -r "$WINE_BUNDLE/." "$WINEPREFIX/drive_c/Korvel/"
    WIN_HOME=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 ! -name Public | head -n 1)
    wine_run() {
        WINEQT_FORCE_STDERR_LOGGING=1 timed_run "$WIN_HOME" "$WINEPREFIX/drive_c/Korvel/one.bin" "$1" \
            /usr/lib/wine/wine64 'C:\Korvel\KorvelUpdater.exe'
    }
    measure "Windows build under Wine 8" wine_run
fi

section="## Start-up cost of the renderer check

Command: \`bench/startup.sh $PAIRS\` ($(date -u +%Y-%m-%d)), $(nproc) cores (load average $load at the
start), Mesa $(dpkg-query -W -f='${Version}' libgl1-mesa-dri 2>/dev/null || echo unknown).
One update of one 64 KiB component from a local nginx, in a real window on Xvfb whose
OpenGL (Mesa's llvmpipe) passes the check; $PAIRS alternating pairs of runs with the check
and without it (\`QT_OPENGL\` set, which the updater leaves to Qt and this Qt does not
read). Milliseconds: the median without the check, then what the check adds, as the
median (min to max) of the pairs' differences, in wall time for the whole process and
until the download starts (the updater's own log clock against the launch), and in the
process's CPU time, which the other work on a shared machine disturbs least. \"Check
alone\" is what the updater reports for the check; it includes loading the OpenGL
driver, which Qt Quick then finds loaded. Goal: the check adds at most 30 ms.

| build | without: whole / until the download / CPU | added: whole | added: until the download | added: CPU | check alone |
|---|---|---|---|---|---|
$(printf '%s\n' "${rows[@]}")"
results=$KORVEL_ROOT/bench/RESULTS.md
# This section stays last in the file; bench/run.sh carries it over.
kept=$(awk '/^## Start-up cost of the renderer check/ { exit } { print }' "$results")
printf '%s\n\n%s\n' "$kept" "$section" >"$results"
echo "$section"
