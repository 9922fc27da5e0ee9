#!/usr/bin/env bash
# Shows the updater doing its whole job: builds, stages a sample release behind
# a local nginx, runs the real KorvelUpdater against it and reports the outcome.
# Everything it writes is in a fresh sandbox under the temporary directory; the
# sandbox stays for the screenshot and the logs.
set -euo pipefail

big=KorvelEngine.dll
title='Korvel update'

# Runs inside the X session (a real display or Xvfb): the updater, and a
# screenshot of its window once the big component is part way through.
run_updater() {
    local sandbox=$1 wid="" i size=0 total
    total=$(stat -c %s "$sandbox/www/release/$big")
    (cd "$sandbox/install" && exec timeout 300 ./KorvelUpdater) >"$sandbox/updater.log" 2>&1 &
    local pid=$!
    # timeout runs the updater in a process group of its own, which Ctrl+C
    # does not reach: pass it on (timeout hands it to the updater, which rolls
    # back and ends).
    trap 'kill -TERM "$pid" 2>/dev/null; wait "$pid"; exit 130' INT TERM

    for i in $(seq 1 600); do
        kill -0 "$pid" 2>/dev/null || break
        if [ -z "$wid" ]; then
            wid=$(xdotool search --name "^$title\$" 2>/dev/null | head -n 1 || true)
        fi
        # It comes in beside its target and is renamed into place when whole.
        size=$(stat -c %s "$sandbox/install/$big.korvel-part" 2>/dev/null || echo 0)
        if [ -n "$wid" ] && [ "$size" -gt $((total / 5)) ] && [ "$size" -lt "$total" ]; then
            if import -window "$wid" "$sandbox/window.png" 2>>"$sandbox/screenshot.log"; then
                echo "$((size * 100 / total))" >"$sandbox/screenshot.at"
                break
            fi
        fi
        sleep 0.1
    done

    local status=0
    wait "$pid" || status=$?
    echo "$status" >"$sandbox/updater.status"
}

if [ "${1:-}" = "--run-updater" ]; then
    run_updater "$2"
    exit 0
fi

source "$(dirname "$0")/common.sh"
# KORVEL_DEMO_BIN: a folder of programs already built (the test command's),
# used as it is; KORVEL_DEMO_RATE: the release's transfer rate (nginx's
# limit_rate).
bin=${KORVEL_DEMO_BIN:-}
rate=${KORVEL_DEMO_RATE:-8m}
if [ -z "$bin" ]; then
    korvel_install_packages
    korvel_build "$KORVEL_ROOT/build"
    bin=$KORVEL_ROOT/build/bin
fi

sandbox=$(mktemp -d "${TMPDIR:-/tmp}/korvel-demo.XXXXXX")
mkdir -p "$sandbox"/{www/release,install,home,nginx,tmp}
trap korvel_stop_nginx EXIT
trap 'exit 130' INT TERM

echo
echo "== Korvel updater demo, sandbox $sandbox"

# A sample release: a program-sized library, a data file and a configuration.
release="$sandbox/www/release"
head -c $((40 * 1024 * 1024)) /dev/urandom >"$release/$big"
head -c $((6 * 1024 * 1024)) /dev/urandom >"$release/maps.dat"
{
    echo "; Korvel settings, written by the demo on $(date -u +%Y-%m-%dT%H:%M:%SZ)"
    echo "[window]"
    echo "theme=dark"
    echo "accent=#0092cc"
    echo "[network]"
    echo "server=https://updates.korvel.example/windows/"
    echo "retries=3"
    echo "[maps]"
    echo "file=maps.dat"
} >"$release/korvel.ini"

# Its own nginx on a free loopback port, slowed down so that a transfer stays
# on screen for a few seconds.
korvel_start_nginx "$sandbox/nginx" "$sandbox/www" "location /release/ { limit_rate $rate; }"
port=$KORVEL_NGINX_PORT

manifest_url="http://127.0.0.1:$port/manifest.xml"
"$bin/korvel-manifest" "$release" "http://127.0.0.1:$port/release/" \
    --component-version 1.4.2 -o "$sandbox/www/manifest.xml"

# The installed application: the updater beside a stand-in KorvelWindows.exe
# that only notes that it was started.
cp "$bin/KorvelUpdater" "$sandbox/install/"
cat >"$sandbox/install/KorvelWindows.exe" <<EOF
#!/bin/sh
exec >>"$sandbox/app-output.log" 2>&1
echo "KorvelWindows.exe started with \$# arguments at \$(date +%H:%M:%S)" >"$sandbox/app-started.txt"
EOF
chmod +x "$sandbox/install/KorvelWindows.exe"
printf '%s\n' "$manifest_url" >"$sandbox/home/KorvelWindowsUpdaterTemp.txt"

# The components are what the manifest lists: the release folder also holds
# korvel-delta/, the compressed copies.
mapfile -t components < <(sed -n 's|^ *<name>\(.*\)</name>$|\1|p' "$sandbox/www/manifest.xml")
echo "release:  ${#components[@]} components, manifest $manifest_url (korvel-manifest)"
export HOME="$sandbox/home" TMPDIR="$sandbox/tmp"
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    echo "display:  $DISPLAY (a real window)"
    QT_QPA_PLATFORM=xcb bash "$0" --run-updater "$sandbox"
else
    echo "display:  none, running under xvfb-run"
    QT_QPA_PLATFORM=xcb QT_QUICK_BACKEND=software xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" --run-updater "$sandbox"
fi
korvel_stop_nginx

status=$(cat "$sandbox/updater.status" 2>/dev/null || echo "none")
case "$status" in
    12) meaning="update complete: hand-off file removed, application started" ;;
    0) meaning="the window was closed before the update finished" ;;
    255) meaning="the window could not be created (-1)" ;;
    124) meaning="no end after 300 s: the update stalled and the demo stopped it" ;;
    *) meaning="unexpected; see the updater's output" ;;
esac

ok=1
echo
echo "== Outcome"
echo "exit status:  $status ($meaning)"
[ "$status" = 12 ] || ok=0
echo "installed files (in $sandbox/install):"
[ "${#components[@]}" = "$(find "$release" -maxdepth 1 -type f | wc -l)" ] || {
    echo "  the manifest lists ${#components[@]} components, the release folder holds $(find "$release" -maxdepth 1 -type f | wc -l) files"
    ok=0
}
for name in "${components[@]}"; do
    file="$release/$name"
    target="$sandbox/install/$name"
    if [ ! -f "$target" ]; then
        printf '  %-18s missing\n' "$name"
        ok=0
    elif cmp -s "$file" "$target"; then
        printf '  %-18s %10d bytes  matches the release\n' "$name" "$(stat -c %s "$target")"
    else
        printf '  %-18s %10d bytes  DIFFERS from the release (%d bytes)\n' "$name" \
            "$(stat -c %s "$target")" "$(stat -c %s "$file")"
        ok=0
    fi
done
if [ -e "$sandbox/home/KorvelWindowsUpdaterTemp.txt" ]; then
    echo "hand-off file: still in place"
    ok=0
else
    echo "hand-off file: removed"
fi
# The application starts as the updater ends; give it a moment.
for i in $(seq 1 50); do
    [ -s "$sandbox/app-started.txt" ] && break
    sleep 0.1
done
if [ -s "$sandbox/app-started.txt" ]; then
    echo "application:  started ($(cat "$sandbox/app-started.txt"))"
else
    echo "application:  not started"
    ok=0
fi
if [ -s "$sandbox/window.png" ]; then
    echo "screenshot:   $sandbox/window.png (taken at $(cat "$sandbox/screenshot.at")% of $big)"
else
    echo "screenshot:   none taken (see $sandbox/screenshot.log)"
fi
echo "diagnostics:  $sandbox/updater.log (updater output), $sandbox/nginx/access.log and error.log"
echo "sandbox:      $sandbox (nothing runs there any more; remove it with rm -rf when done)"
echo
if [ "$ok" = 1 ]; then
    echo "Demo succeeded: every component installed byte-identical and the application started."
else
    echo "Demo FAILED: see the diagnostics above."
    exit 1
fi
