#!/usr/bin/env bash
# The updater on a poor link: three components of 20 MB, old versions
# installed, served by a small server that honours Range and If-Range and
# fails as each case says. Prints one line per case: its outcome, seconds, and
# the component bytes the server sent, against the release's 60 MB.
#   bench/network.sh
# Environment: KORVEL_UPDATER (a built updater; default: one built here),
# BENCH_DIR (scratch space).
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
korvel_install_packages
UPDATER=${KORVEL_UPDATER:-}
if [ -z "$UPDATER" ]; then
    korvel_build "$KORVEL_ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    UPDATER=$KORVEL_ROOT/build-bench/bin/KorvelUpdater
fi
WORK=${BENCH_DIR:-$(mktemp -d /var/tmp/korvel-network.XXXXXX)}
SERVER_PID=""
cleanup() {
    [ -z "$SERVER_PID" ] || { kill "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; }
    [ -n "${BENCH_DIR:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$WORK/srv" "$WORK/home"
SIZE=$((20 * 1024 * 1024))
for name in a b c; do head -c "$SIZE" /dev/urandom >"$WORK/srv/$name.bin"; done

# The server: MODE is drop-every:N, drop-once:N (N bytes into c.bin, once),
# hold-once:N (c.bin's first answer stops N bytes in and stays open), fail-always,
# or clean. It appends the body bytes it sends to sent.txt.
cat >"$WORK/server.py" <<'PY'
import http.server, os, sys, time
root, mode, port_file = sys.argv[1], sys.argv[2], sys.argv[3]
state = {'dropped': False}
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    def log_message(self, *args): pass
    def do_GET(self):
        path = os.path.join(root, self.path.lstrip('/'))
        if mode == 'fail-always' and self.path.endswith('.bin'):
            self.send_response(503); self.send_header('Retry-After', '1')
            self.send_header('Content-Length', '0'); self.end_headers(); return
        if not os.path.isfile(path):
            self.send_response(404); self.send_header('Content-Length', '0'); self.end_headers(); return
        size = os.path.getsize(path); start = 0
        etag = '"%x-%x"' % (size, int(os.path.getmtime(path)))
        rng, if_range = self.headers.get('Range'), self.headers.get('If-Range')
        if rng and rng.startswith('bytes=') and (if_range is None or if_range == etag):
            start = int(rng[6:].split('-')[0])
            self.send_response(206)
            self.send_header('Content-Range', 'bytes %d-%d/%d' % (start, size - 1, size))
        else:
            self.send_response(200)
        self.send_header('Content-Length', str(size - start)); self.send_header('ETag', etag)
        self.end_headers()
        limit = size - start
        if mode.startswith('drop-every:'):
            limit = min(limit, int(mode.split(':')[1]))
        once = mode.startswith(('drop-once:', 'hold-once:'))
        if once and self.path.endswith('c.bin') and not state['dropped']:
            limit = min(limit, int(mode.split(':')[1]) - start); state['dropped'] = True
        sent = 0
        with open(path, 'rb') as f:
            f.seek(start)
            while sent < limit:
                chunk = f.read(min(65536, limit - sent))
                self.wfile.write(chunk); sent += len(chunk)
        if self.path.endswith('.bin'):
            with open(os.path.join(root, '..', 'sent.txt'), 'a') as out: out.write('%d\n' % sent)
        if sent < size - start and mode.startswith('hold-once:'):
            self.wfile.flush(); time.sleep(3600)
        if sent < size - start:
            self.close_connection = True
            self.connection.shutdown(2)
server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
open(port_file, 'w').write(str(server.server_address[1]))
server.serve_forever()
PY

serve() {
    [ -z "$SERVER_PID" ] || { kill "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true; }
    rm -f "$WORK/port"
    python3 "$WORK/server.py" "$WORK/srv" "$1" "$WORK/port" &
    SERVER_PID=$!
    while [ ! -s "$WORK/port" ]; do sleep 0.05; done
    PORT=$(cat "$WORK/port")
    local items="" name sha
    for name in a b c; do
        sha=$(sha256sum "$WORK/srv/$name.bin" | cut -c1-64)
        items+="<item><name>$name.bin</name><version>2</version><url>http://127.0.0.1:$PORT/$name.bin</url>"
        items+="<installlocation>installdir</installlocation><filesize>$SIZE</filesize><sha256>$sha</sha256>"
        items+="<requireuac>false</requireuac></item>"
    done
    echo "<model>$items</model>" >"$WORK/srv/manifest.xml"
    echo "http://127.0.0.1:$PORT/manifest.xml" >"$WORK/home/KorvelWindowsUpdaterTemp.txt"
}

fresh_install() {
    rm -rf "$WORK/inst" "$WORK/sent.txt" "$WORK/updater.log"
    mkdir -p "$WORK/inst"
    cp "$UPDATER" "$WORK/inst/KorvelUpdater"
    printf '#!/bin/sh\nexit 0\n' >"$WORK/inst/KorvelWindows.exe"
    chmod +x "$WORK/inst/KorvelWindows.exe"
    for name in a b c; do head -c 1000 /dev/zero >"$WORK/inst/$name.bin"; done
}

# run [STOP_AT_BYTES [SIGNAL]]: one start; with a byte count, ended by SIGNAL
# (KILL, or TERM: the window closed) once c.bin's staging file has that many.
# Prints "status seconds".
run() {
    local start=$SECONDS
    HOME="$WORK/home" QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software \
        KORVEL_UPDATER_LOG="$WORK/updater.log" "$WORK/inst/KorvelUpdater" >/dev/null 2>&1 &
    local pid=$! status=0
    if [ -n "${1:-}" ]; then
        while kill -0 "$pid" 2>/dev/null \
              && [ "$(stat -c %s "$WORK/inst/c.bin.korvel-part" 2>/dev/null || echo 0)" -lt "$1" ]; do
            sleep 0.02
        done
        kill -"${2:-KILL}" "$pid" 2>/dev/null || true
    fi
    # A stall never ends by itself: the window is closed once it says so.
    while kill -0 "$pid" 2>/dev/null; do
        grep -q '[0-9]Z Stalled: ' "$WORK/updater.log" 2>/dev/null && kill -TERM "$pid"
        sleep 0.1
    done
    wait "$pid" || status=$?
    echo "$status $((SECONDS - start))"
}

sent() { awk '{ s += $1 } END { print s + 0 }' "$WORK/sent.txt" 2>/dev/null || echo 0; }
report() { awk -v b="$2" -v r=$((3 * SIZE)) -v c="$1" -v o="$3" \
    'BEGIN { printf "%-40s %s, %d bytes sent, %.3f of the release\n", c, o, b, b / r }'; }

fresh_install; serve "drop-every:$((8 * 1024 * 1024))"
read -r status secs < <(run); report "every connection dropped after 8 MB" "$(sent)" "status $status in ${secs} s"
fresh_install; serve "drop-once:$((10 * 1024 * 1024))"
read -r status secs < <(run); report "one drop 10 MB into the last" "$(sent)" "status $status in ${secs} s"
for signal in KILL TERM; do
    fresh_install; serve "hold-once:$((10 * 1024 * 1024))"
    read -r status secs < <(run $((10 * 1024 * 1024)) $signal)
    first=$(sent); : >"$WORK/sent.txt"
    read -r status secs < <(run)
    report "SIG$signal 10 MB into the last, next start" "$(sent)" \
        "status $status in ${secs} s (the first run sent $first)"
done
fresh_install; serve fail-always
read -r status secs < <(run)
tries=$(grep -c '[0-9]Z Retry: ' "$WORK/updater.log" || true)
report "a server that fails every try" 0 "stalled after ${secs} s and $((tries + 1)) tries, window closed: status $status"
