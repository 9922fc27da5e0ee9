#!/bin/bash
# The updater in a real X window under Xvfb (xcb, OpenGL through Mesa): its
# title, fixed size and look during a transfer, closing it, and a complete
# update that ends with status 12 every time.
# Usage: test_realwindow.sh BUILD_DIR SOURCE_DIR
set -u

build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
updater_bin=$build/bin/KorvelUpdater
close_window=$source_dir/tests/tools/closewindow.py
python=/usr/bin/python3
source "$source_dir/scripts/common.sh"
title="Korvel update"
repeats=6

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# In a sanitizer build: ASan's slow unwinder on every allocation (set for
# readable leak reports) stalls the start of Qt Quick under Mesa for a minute
# and more; these runs check no leaks, so they use the fast one.
if [ -n "${ASAN_OPTIONS:-}" ]; then
    export ASAN_OPTIONS=$ASAN_OPTIONS:fast_unwind_on_malloc=1
fi

# On a display of its own: the window checks, during a slow transfer ("transfer") or
# after a transfer failed ("stall"). The outer part below prepared $dir.
if [ "${3:-}" = "--window" ]; then
    dir=$4
    case=$5
    updater_pid=
    stop_updater() {
        if [ -n "$updater_pid" ] && kill -0 "$updater_pid" 2>/dev/null; then
            kill "$updater_pid"
            wait "$updater_pid" 2>/dev/null
        fi
    }
    trap stop_updater EXIT

    # In a sanitizer build, the leak check at a normal exit reports what D-Bus
    # and Mesa leave behind and turns status 0 into 1; the unit tests check
    # our own leaks.
    HOME=$dir/home ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
        "$dir/install/KorvelUpdater" >"$dir/updater.log" 2>&1 &
    updater_pid=$!

    wid=$("$python" "$close_window" --timeout 60 --find-only "$title") ||
        fail "no window titled \"$title\" appeared"
    [ "$(xprop -id "$wid" _NET_WM_PID | awk '{print $3}')" = "$updater_pid" ] ||
        fail "the window $wid does not belong to the updater"
    xprop -id "$wid" WM_NAME | grep -qx "WM_NAME(STRING) = \"$title\"" ||
        fail "unexpected WM_NAME: $(xprop -id "$wid" WM_NAME)"

    # Fixed size: the hints pin minimum and maximum to the window's size.
    hints=$(xprop -id "$wid" WM_NORMAL_HINTS)
    echo "$hints" | grep -q "program specified minimum size: 450 by 180" ||
        fail "minimum size is not 450 by 180: $hints"
    echo "$hints" | grep -q "program specified maximum size: 450 by 180" ||
        fail "maximum size is not 450 by 180: $hints"
    geometry=$(xwininfo -id "$wid")
    echo "$geometry" | grep -q "Width: 450" && echo "$geometry" | grep -q "Height: 180" ||
        fail "the window is not 450 by 180: $geometry"

    if [ "$case" = transfer ]; then
        # The look, once the slow item shows some progress: mostly black, with
        # the accent colour #0092cc (0, 146, 204) filling part of the bar.
        shot=$build/window.png
        dark=0
        accent=0
        for _ in $(seq 1 "$(korvel_test_time 40)"); do
            kill -0 "$updater_pid" 2>/dev/null || fail "the updater ended during the slow transfer"
            # import waits for ever on a window that went away meanwhile.
            timeout -k 5 "$(korvel_test_time 30)" import -window "$wid" "$shot" 2>/dev/null || fail "no screenshot of window $wid"
            read -r total dark accent < <(convert "$shot" -depth 8 txt:- | awk -F'[(,)]' '
                NR > 1 {
                    r = $3 + 0; g = $4 + 0; b = $5 + 0; n++
                    if (r < 40 && g < 40 && b < 40) dark++
                    dr = r - 0; dg = g - 146; db = b - 204
                    if (dr * dr + dg * dg + db * db < 30 * 30) accent++
                }
                END { print n + 0, dark + 0, accent + 0 }')
            [ "$total" -eq $((450 * 180)) ] || fail "the screenshot has $total pixels, not 450 by 180"
            [ "$accent" -ge 100 ] && break
            sleep 0.5
        done
        echo "screenshot $shot: $dark dark and $accent accent pixels of $total"
        [ "$accent" -ge 100 ] || fail "no accent-coloured progress in $shot ($accent pixels)"
        [ $((dark * 100 / total)) -ge 70 ] || fail "the window is not dark: $dark of $total pixels in $shot"
        kill -0 "$updater_pid" 2>/dev/null || fail "the updater ended during the slow transfer"
    fi

    if [ "$case" = stall ]; then
        for _ in $(seq 1 "$(korvel_test_time 300)"); do
            grep -q '^Error:' "$dir/updater.log" && break
            sleep 0.1
        done
        grep -q '^Error: ContentNotFoundError' "$dir/updater.log" || fail "the second item did not fail"
        kill -0 "$updater_pid" 2>/dev/null || fail "the updater ended by itself after the failed item"
    fi

    [ -s "$dir/install/one.bin" ] || fail "the first item was not downloaded"
    # Closing the window ends the updater with 0, wherever the update stands.
    "$python" "$close_window" --timeout 10 "$title" >/dev/null || fail "could not close the window"
    for _ in $(seq 1 "$(korvel_test_time 300)"); do
        kill -0 "$updater_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$updater_pid" 2>/dev/null && fail "the updater still runs $(korvel_test_time 30) s after its window was closed"
    wait "$updater_pid"
    status=$?
    updater_pid=
    [ "$status" -eq 0 ] || fail "closing the window gave status $status, not 0"
    echo "$case: window closed, status 0"
    exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-realwindow.XXXXXX")
xvfb_pid=
cleanup() {
    local record pid
    # Every fake application that got started, also where a check failed.
    for record in "$work"/*/app; do
        [ -e "$record" ] || continue
        pid=$(head -n 1 "$record")
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
            kill "$pid"
        fi
    done
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    korvel_stop_nginx
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# on_display COMMAND...: COMMAND on an X server of its own, which picks a free
# display number itself (xvfb-run -a can race another run for the same one).
on_display() {
    local number="" status=1
    Xvfb -displayfd 1 -nolisten tcp -screen 0 1024x768x24 >"$work/display" 2>"$work/xvfb.log" &
    xvfb_pid=$!
    for _ in $(seq 1 "$(korvel_test_time 300)"); do
        [ "$(wc -l <"$work/display")" -gt 0 ] && number=$(head -n 1 "$work/display") && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -n "$number" ]; then
        DISPLAY=:$number "$@"
        status=$?
    else
        echo "Xvfb did not start: $(cat "$work/xvfb.log")" >&2
    fi
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
    xvfb_pid=
    return "$status"
}

[ -x "$updater_bin" ] || fail "no updater at $updater_bin"
[ -x "$python" ] || fail "no $python"

export QT_QPA_PLATFORM=xcb
unset QT_QUICK_BACKEND

# nginx on a free loopback port, with its own config, pid file and logs.
www=$work/www
mkdir -p "$www/c" "$www/slow"
head -c 20000 /dev/urandom >"$www/c/one.bin"
head -c 3000 /dev/urandom >"$www/c/two.bin"
head -c 4000000 /dev/urandom >"$www/slow/big.bin"
korvel_start_nginx "$work/nginx" "$www" 'location /slow/ { limit_rate 100k; }' ||
    fail "nginx did not start: $(cat "$work/nginx/error.log" 2>/dev/null)"
base=http://127.0.0.1:$KORVEL_NGINX_PORT

manifest() {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo '<model>'
    local name url location
    while [ $# -gt 0 ]; do
        name=$1 url=$2 location=$3
        shift 3
        echo "  <item><name>$name</name><version>1</version><url>$base$url</url>"
        echo "    <installlocation>$location</installlocation><filesize/><requireuac>false</requireuac></item>"
    done
    echo '</model>'
}

# An install directory with a copy of the updater and a fake Korvel
# application that records its pid and arguments and lives on.
install_updater() {
    local dir=$1 record=$2
    mkdir -p "$dir"
    cp "$updater_bin" "$dir/KorvelUpdater"
    cat >"$dir/KorvelWindows.exe" <<EOF
#!/bin/sh
exec >'$record.out' 2>&1 </dev/null
printf '%s\n' "\$\$" "\$#" > '$record.part'
mv '$record.part' '$record'
exec sleep 30
EOF
    chmod +x "$dir/KorvelWindows.exe"
}

# The window, closed by the user mid-update: neither the end of the update
# nor the start of the application may happen.
window_case() {
    local case=$1 manifest_name=$2
    local dir=$work/$case
    mkdir -p "$dir/home" "$dir/elsewhere"
    install_updater "$dir/install" "$dir/app"
    echo "$base/$manifest_name" >"$dir/home/KorvelWindowsUpdaterTemp.txt"
    on_display bash "$0" "$build" "$source_dir" --window "$dir" "$case" ||
        fail "$case: the window checks failed; updater output: $(cat "$dir/updater.log")"
    [ -e "$dir/home/KorvelWindowsUpdaterTemp.txt" ] ||
        fail "$case: closing the window removed the hand-off file"
    [ -e "$dir/app" ] && fail "$case: closing the window started the Korvel application"
    # The release goes back as it was: the first item was not there before.
    [ -e "$dir/install/one.bin" ] && fail "$case: closing the window kept the first item"
    grep -q '^Rolled back the update of' "$dir/updater.log" ||
        fail "$case: no roll back; updater output: $(cat "$dir/updater.log")"
    find "$dir/install" "$dir/elsewhere" -name '*.korvel-*' -o -name 'KorvelUpdater.journal*' | grep -q . &&
        fail "$case: files left beside the release: $(ls "$dir/install" "$dir/elsewhere")"
}
# A slow second item keeps the transfer visible.
manifest one.bin /c/one.bin installdir big.bin /slow/big.bin "$work/transfer/elsewhere" \
    >"$www/transfer.xml"
window_case transfer transfer.xml
# The second item answers 404: the update stalls there.
manifest one.bin /c/one.bin installdir missing.bin /c/missing.bin "$work/stall/elsewhere" \
    two.bin /c/two.bin installdir >"$www/stall.xml"
window_case stall stall.xml
grep -q "GET /c/missing.bin " "$work/nginx/access.log" || fail "stall: the failing item was not requested"
grep -q "GET /c/two.bin " "$work/nginx/access.log" && fail "stall: the item after the failed one was requested"

# A complete update under Xvfb ends with 12 every time: a plain exit() raced
# Qt Quick's render thread and crashed now and then.
manifest one.bin /c/one.bin installdir two.bin /c/two.bin "$work/elsewhere/" \
    >"$www/fast.xml"
for run in $(seq 1 $repeats); do
    dir=$work/run$run
    mkdir -p "$dir/home" "$work/elsewhere"
    rm -f "$work/elsewhere/two.bin"
    install_updater "$dir/install" "$dir/app"
    echo "$base/fast.xml" >"$dir/home/KorvelWindowsUpdaterTemp.txt"
    HOME=$dir/home on_display timeout -k 10 "$(korvel_test_time 120)" "$dir/install/KorvelUpdater" \
        >"$dir/updater.log" 2>&1
    status=$?
    [ "$status" -eq 12 ] || fail "run $run of $repeats ended with status $status, not 12: $(cat "$dir/updater.log")"
    for _ in $(seq 1 "$(korvel_test_time 50)"); do
        [ -e "$dir/app" ] && break
        sleep 0.1
    done
    [ -e "$dir/app" ] || fail "run $run: the Korvel application was not started"
    app_pid=$(head -n 1 "$dir/app")
    kill -0 "$app_pid" 2>/dev/null || fail "run $run: the Korvel application did not outlive the updater"
    [ "$(sed -n 2p "$dir/app")" = 0 ] || fail "run $run: the Korvel application got arguments"
    kill "$app_pid"
    [ -e "$dir/home/KorvelWindowsUpdaterTemp.txt" ] && fail "run $run: the hand-off file is still there"
    cmp -s "$www/c/one.bin" "$dir/install/one.bin" || fail "run $run: one.bin differs"
    cmp -s "$www/c/two.bin" "$work/elsewhere/two.bin" || fail "run $run: two.bin differs"
    echo "run $run of $repeats: status 12"
done
echo "real window and $repeats complete updates under Xvfb: all good"
