#!/usr/bin/env bash
# Measures the updater against curl on a local nginx and writes bench/RESULTS.md.
#   bench/run.sh [pairs]        (default 5 pairs per comparison)
# Environment: BENCH_DIR (scratch space, default a temporary directory under
# /var/tmp), BENCH_SKIP_4G=1 to leave out the 4 GiB case. With a Windows build
# in build-win64/ (scripts/windows.sh), case 1 also runs through it under Wine.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"

PAIRS=${1:-5}
korvel_install_packages
BUILD="$KORVEL_ROOT/build-bench"
korvel_build "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DKORVEL_KEYED_TEST_UPDATER=ON >/dev/null
cmake -S "$KORVEL_ROOT/bench/qnamfloor" -B "$BUILD/qnamfloor" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD/qnamfloor" >/dev/null

WORK=${BENCH_DIR:-$(mktemp -d /var/tmp/korvel-bench.XXXXXX)}
mkdir -p "$WORK"
XVFB_PID=""
WINE_BUNDLE=$KORVEL_ROOT/build-win64/KorvelUpdater-win64
export WINEPREFIX=$WORK/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
cleanup() {
    if [ -d "$WINEPREFIX" ]; then
        /usr/lib/wine/wineserver64 -k 2>/dev/null || true
    fi
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
    fi
    korvel_stop_nginx
    if [ -z "${BENCH_DIR:-}" ]; then rm -rf "$WORK"; fi
}
trap cleanup EXIT

SRV="$WORK/srv"
mkdir -p "$SRV/small"

# An install directory with the updater and an application that ends at once.
INST="$WORK/inst"
HOMEDIR="$WORK/home"
mkdir -p "$INST" "$HOMEDIR"
cp "$BUILD/bin/KorvelUpdater" "$INST/"
printf '#!/bin/sh\nexit 0\n' >"$INST/KorvelWindows.exe"
chmod +x "$INST/KorvelWindows.exe"
# The same with the build that demands a signed release (the test keys).
KEYED_INST="$WORK/inst-keyed"
mkdir -p "$KEYED_INST"
cp "$BUILD/test-bin/KorvelUpdaterTestKeys" "$KEYED_INST/KorvelUpdater"
cp "$INST/KorvelWindows.exe" "$KEYED_INST/"

# run_timed OUTFILE COMMAND...: prints "seconds max_rss_kb"
run_timed() {
    local out=$1
    shift
    /usr/bin/time -f '%e %M %x' -o "$out" "$@" >/dev/null 2>&1 || true
    # time(1) puts "Command exited with non-zero status" first.
    read -r secs rss status < <(tail -n 1 "$out")
    echo "$secs $rss $status"
}

# updater_run MANIFEST [xcb|keyed]: one whole update, timed.
updater_run() {
    local manifest=$1 mode=${2:-offscreen} inst=$INST
    [ "$mode" = keyed ] && inst=$KEYED_INST
    echo "http://127.0.0.1:$PORT/$manifest" >"$HOMEDIR/KorvelWindowsUpdaterTemp.txt"
    find "$inst" -mindepth 1 -maxdepth 1 ! -name KorvelUpdater ! -name KorvelWindows.exe -delete
    local r
    if [ "$mode" = xcb ]; then
        r=$(HOME="$HOMEDIR" DISPLAY=":$XVFB_DISPLAY" QT_QPA_PLATFORM=xcb \
            run_timed "$WORK/time.txt" "$inst/KorvelUpdater")
    else
        r=$(HOME="$HOMEDIR" QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software \
            run_timed "$WORK/time.txt" "$inst/KorvelUpdater")
    fi
    local status=${r##* }
    if [ "$status" != 12 ]; then
        echo "updater ended with status $status" >&2
        exit 1
    fi
    echo "$r"
}

curl_run() {
    rm -f "$WORK/curl.out"
    run_timed "$WORK/time.txt" curl -s -o "$WORK/curl.out" "http://127.0.0.1:$PORT/$1"
}

# The same 2,000 GETs through Qt's HTTP stack alone: no files, no window.
qnam_many() {
    run_timed "$WORK/time.txt" "$BUILD/qnamfloor/qnamfloor" <"$WORK/many.urls"
}

curl_many() {
    rm -rf "$WORK/curlmany"
    mkdir -p "$WORK/curlmany"
    (cd "$WORK/curlmany" && run_timed "$WORK/time.txt" curl -s -K "$WORK/many.curl")
}

# With SIGNED=1 as a publisher signs it: each item's SHA-256 and a serial.
manifest() { # NAME FILE...
    local name=$1 f sha=""
    shift
    {
        [ "${SIGNED:-0}" = 1 ] && echo '<model serial="1">' || echo "<model>"
        for f in "$@"; do
            [ "${SIGNED:-0}" = 1 ] && sha="<sha256>$(sha256sum "$SRV/$f" | cut -c1-64)</sha256>"
            echo "<item><name>$(basename "$f")</name><url>http://127.0.0.1:$PORT/$f</url><installlocation>installdir</installlocation>$sha</item>"
        done
        echo "</model>"
    } >"$SRV/$name"
}

# The same, signed as a publisher with only OpenSSL would sign it, with
# NAME.sig beside it.
signed_manifest() { # NAME FILE...
    SIGNED=1 manifest "$@"
    local name=$1
    printf 'korvel-release-v1\n%s\n' "$(sha256sum "$SRV/$name" | cut -c1-64)" >"$WORK/message"
    openssl pkeyutl -sign -rawin -inkey "$KORVEL_ROOT/tests/data/test-publisher-1.key.pem" \
        -in "$WORK/message" | base64 -w0 >"$SRV/$name.sig"
}

stats() { # values... -> "median min max"
    printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {
        m = (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2;
        printf "%.3f %.3f %.3f\n", m, v[1], v[NR] }'
}

# No access log: it would be part of what is measured.
korvel_start_nginx "$WORK/nginx" "$SRV" 'access_log off; tcp_nopush on;'
PORT=$KORVEL_NGINX_PORT

echo "Preparing files in $WORK"
head -c $((16 << 20)) /dev/urandom >"$SRV/c16m.bin"
head -c $((1 << 30)) /dev/urandom >"$SRV/c1g.bin"
for i in $(seq -w 1 2000); do head -c 4096 /dev/urandom >"$SRV/small/f$i.bin"; done
manifest m16m.xml c16m.bin
manifest m1g.xml c1g.bin
signed_manifest m1g-signed.xml c1g.bin
# shellcheck disable=SC2046
manifest many.xml $(cd "$SRV" && ls small/*.bin)
# shellcheck disable=SC2046
signed_manifest many-signed.xml $(cd "$SRV" && ls small/*.bin)
: >"$WORK/many.curl"
: >"$WORK/many.urls"
for f in "$SRV"/small/*.bin; do
    b=$(basename "$f")
    echo "http://127.0.0.1:$PORT/small/$b" >>"$WORK/many.urls"
    printf 'url = "http://127.0.0.1:%s/small/%s"\noutput = "%s"\n' "$PORT" "$b" "$b" >>"$WORK/many.curl"
done

declare -a u1 c1 u1rss c1rss u3 c3 q3 u4 c4
echo "Case 1: one 1 GiB component, $PAIRS pairs"
for _ in $(seq "$PAIRS"); do
    read -r s r _ < <(updater_run m1g.xml); u1+=("$s"); u1rss+=("$r")
    cmp -s "$SRV/c1g.bin" "$INST/c1g.bin" || { echo "updater copy differs" >&2; exit 1; }
    read -r s r _ < <(curl_run c1g.bin); c1+=("$s"); c1rss+=("$r")
done

declare -a k1 n1 k1rss n1rss
echo "Case 1k: case 1 by the build that checks a signed release, against the one that does not, $PAIRS pairs"
for _ in $(seq "$PAIRS"); do
    read -r s r _ < <(updater_run m1g-signed.xml keyed); k1+=("$s"); k1rss+=("$r")
    cmp -s "$SRV/c1g.bin" "$KEYED_INST/c1g.bin" || { echo "keyed updater copy differs" >&2; exit 1; }
    read -r s r _ < <(updater_run m1g.xml); n1+=("$s"); n1rss+=("$r")
done

echo "Case 2: memory against size"
read -r _ rss16 _ < <(updater_run m16m.xml)
rss1g=$(stats "${u1rss[@]}" | cut -d' ' -f3)
avail=$(df -Pk "$WORK" | awk 'NR==2 {print $4}')
rss4g="skipped"
if [ "${BENCH_SKIP_4G:-0}" != 1 ] && [ "$avail" -gt $((12 << 20)) ]; then
    truncate -s 4G "$SRV/c4g.bin"
    manifest m4g.xml c4g.bin
    read -r _ rss4g _ < <(updater_run m4g.xml)
    rm -f "$SRV/c4g.bin" "$INST/c4g.bin"
else
    rss4g="skipped (disk has $((avail >> 20)) GiB free, 12 GiB wanted)"
fi

declare -a k3
echo "Case 3: 2000 components of 4 KiB, $PAIRS pairs (and by the keyed build)"
for _ in $(seq "$PAIRS"); do
    read -r s _ _ < <(updater_run many.xml); u3+=("$s")
    read -r s _ _ < <(updater_run many-signed.xml keyed); k3+=("$s")
    read -r s _ _ < <(curl_many); c3+=("$s")
    read -r s _ _ < <(qnam_many); q3+=("$s")
done

echo "Case 4: case 1 in a real window under Xvfb, $PAIRS pairs"
# One X server for the whole case, so that its start is not counted.
XVFB_DISPLAY=99
while [ -e "/tmp/.X$XVFB_DISPLAY-lock" ] || [ -e "/tmp/.X11-unix/X$XVFB_DISPLAY" ]; do
    XVFB_DISPLAY=$((XVFB_DISPLAY + 1))
done
Xvfb ":$XVFB_DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
XVFB_PID=$!
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$XVFB_DISPLAY" ] && break
    sleep 0.1
done
for _ in $(seq "$PAIRS"); do
    read -r s _ _ < <(updater_run m1g.xml xcb); u4+=("$s")
    read -r s _ _ < <(curl_run c1g.bin); c4+=("$s")
done

w5=()
n5=()
if [ -f "$WINE_BUNDLE/KorvelUpdater.exe" ] && [ -x /usr/lib/wine/wine64 ]; then
    echo "Case 5: case 1 through the Windows build under Wine, against the native build, $PAIRS pairs"
    # A server that stays, so that no run pays for its start.
    mkdir -p "$WINEPREFIX"
    /usr/lib/wine/wineserver64 -p
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
    WIN_INST="$WINEPREFIX/drive_c/Korvel"
    mkdir -p "$WIN_INST"
    cp -r "$WINE_BUNDLE/." "$WIN_INST/"
    WIN_HOME=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 ! -name Public | head -n 1)
    for _ in $(seq "$PAIRS"); do
        echo "http://127.0.0.1:$PORT/m1g.xml" >"$WIN_HOME/KorvelWindowsUpdaterTemp.txt"
        rm -f "$WIN_INST/c1g.bin"
        read -r s _ status < <(DISPLAY=":$XVFB_DISPLAY" run_timed "$WORK/time.txt" \
            /usr/lib/wine/wine64 'C:\Korvel\KorvelUpdater.exe')
        [ "$status" = 12 ] || { echo "the Windows build ended with status $status" >&2; exit 1; }
        cmp -s "$SRV/c1g.bin" "$WIN_INST/c1g.bin" || { echo "Windows build's copy differs" >&2; exit 1; }
        w5+=("$s")
        read -r s _ _ < <(updater_run m1g.xml); n5+=("$s")
    done
    /usr/lib/wine/wineserver64 -k
fi

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
read -r u1m u1min u1max < <(stats "${u1[@]}")
read -r c1m c1min c1max < <(stats "${c1[@]}")
read -r u3m u3min u3max < <(stats "${u3[@]}")
read -r c3m c3min c3max < <(stats "${c3[@]}")
read -r q3m q3min q3max < <(stats "${q3[@]}")
read -r k3m k3min k3max < <(stats "${k3[@]}")
read -r u4m u4min u4max < <(stats "${u4[@]}")
read -r c4m c4min c4max < <(stats "${c4[@]}")
read -r ur1m _ ur1max < <(stats "${u1rss[@]}")
read -r k1m k1min k1max < <(stats "${k1[@]}")
read -r n1m n1min n1max < <(stats "${n1[@]}")
read -r kr1m _ kr1max < <(stats "${k1rss[@]}")
read -r nr1m _ nr1max < <(stats "${n1rss[@]}")
read -r cr1m _ cr1max < <(stats "${c1rss[@]}")

qt=$(dpkg-query -W -f='${Version}' qtbase5-dev 2>/dev/null || echo unknown)
# bench/startup.sh writes the last section of the file; it stays.
startup=$(sed -n '/^## Start-up cost of the renderer check/,$p' "$KORVEL_ROOT/bench/RESULTS.md" 2>/dev/null || true)
{
    echo "# Benchmark results"
    echo
    echo "Command: \`bench/run.sh $PAIRS\` ($(date -u +%Y-%m-%d))."
    echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"
    echo "$(free -g | awk '/Mem:/ {print $2}') GiB memory, kernel $(uname -r), Qt $qt, nginx $(/usr/sbin/nginx -v 2>&1 | cut -d/ -f2), $(curl --version | head -1 | cut -d' ' -f1-2)."
    echo "Local nginx on 127.0.0.1 (sendfile), updater built Release, sides alternated, $PAIRS pairs each."
    echo "Times are wall seconds of the whole process (start-up and window included); memory is peak resident."
    echo
    echo "| case | updater median (min-max) | curl median (min-max) | ratio | goal |"
    echo "|---|---|---|---|---|"
    echo "| 1. one 1 GiB component, offscreen | $u1m ($u1min-$u1max) s | $c1m ($c1min-$c1max) s | $(ratio "$u1m" "$c1m") | <= 1.0 |"
    echo "| 3. 2,000 components of 4 KiB | $u3m ($u3min-$u3max) s | $c3m ($c3min-$c3max) s | $(ratio "$u3m" "$c3m") | <= 1.5 |"
    echo "| 3b. the same 2,000 GETs by a bare QNetworkAccessManager loop (\`bench/qnamfloor\`) | $q3m ($q3min-$q3max) s | $c3m ($c3min-$c3max) s | $(ratio "$q3m" "$c3m") | (floor) |"
    echo "| 4. case 1 in a real window (Xvfb, xcb) | $u4m ($u4min-$u4max) s | $c4m ($c4min-$c4max) s | $(ratio "$u4m" "$c4m") | <= 1.1 |"
    echo "| 1k. case 1 by the build with publisher keys (signed release and SHA-256 checked), against the build without | $k1m ($k1min-$k1max) s | without keys $n1m ($n1min-$n1max) s | $(ratio "$k1m" "$n1m") | (for information) |"
    echo "| 3k. case 3 by the build with publisher keys, against the build without | $k3m ($k3min-$k3max) s | without keys $u3m ($u3min-$u3max) s | $(ratio "$k3m" "$u3m") | (for information) |"
    if [ ${#w5[@]} -gt 0 ]; then
        read -r w5m w5min w5max < <(stats "${w5[@]}")
        read -r n5m n5min n5max < <(stats "${n5[@]}")
        echo "| 5. case 1 by the Windows build under Wine 8 (Xvfb), against the native build offscreen | $w5m ($w5min-$w5max) s | native $n5m ($n5min-$n5max) s | $(ratio "$w5m" "$n5m") | (for information) |"
    fi
    echo
    echo "| memory | updater | curl |"
    echo "|---|---|---|"
    echo "| case 1, peak RSS median (max) | $(awk -v k="$ur1m" 'BEGIN{printf "%.1f", k/1024}') ($(awk -v k="$ur1max" 'BEGIN{printf "%.1f", k/1024}')) MB | $(awk -v k="$cr1m" 'BEGIN{printf "%.1f", k/1024}') ($(awk -v k="$cr1max" 'BEGIN{printf "%.1f", k/1024}')) MB |"
    echo
    echo "| case 1k, peak RSS median (max) | with publisher keys | without | goal |"
    echo "|---|---|---|---|"
    echo "| 1 GiB component | $(awk -v k="$kr1m" 'BEGIN{printf "%.1f", k/1024}') ($(awk -v k="$kr1max" 'BEGIN{printf "%.1f", k/1024}')) MB | $(awk -v k="$nr1m" 'BEGIN{printf "%.1f", k/1024}') ($(awk -v k="$nr1max" 'BEGIN{printf "%.1f", k/1024}')) MB | at most 16 MB more |"
    echo
    echo "The keyed build adds, at start, the manifest fetched once more with its signature"
    echo "file, and for each component its SHA-256, computed as its data arrives. Case 3k per"
    echo "component: $(awk -v k="$k3m" -v u="$u3m" 'BEGIN{printf "%.2f ms", (k-u)*1000/2000}')."
    echo
    echo "| component size | updater peak RSS |"
    echo "|---|---|"
    echo "| 16 MiB | $(awk -v k="$rss16" 'BEGIN{printf "%.1f MB", k/1024}') |"
    echo "| 1 GiB | $(awk -v k="$rss1g" 'BEGIN{printf "%.1f MB", k/1024}') |"
    if [[ "$rss4g" =~ ^[0-9]+$ ]]; then
        echo "| 4 GiB (sparse source) | $(awk -v k="$rss4g" 'BEGIN{printf "%.1f MB", k/1024}') |"
        echo
        echo "Growth from 16 MiB to 4 GiB: $(awk -v a="$rss4g" -v b="$rss16" 'BEGIN{printf "%.1f MB", (a-b)/1024}') (goal: at most 16 MB)."
    else
        echo "| 4 GiB | $rss4g |"
    fi
    cat "$KORVEL_ROOT/bench/analysis.md"
    [ -z "$startup" ] || printf '\n%s\n' "$startup"
} >"$KORVEL_ROOT/bench/RESULTS.md"
cat "$KORVEL_ROOT/bench/RESULTS.md"
