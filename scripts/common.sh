# Shared by the project's scripts: installs what is missing and builds.
# Source it; it sets KORVEL_ROOT.

KORVEL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

KORVEL_PACKAGES=(
    cmake g++ make
    qtbase5-dev qtdeclarative5-dev qtquickcontrols2-5-dev
    qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-controls2
    qml-module-qtquick-templates2 qml-module-qtquick-xmllistmodel qml-module-qttest
    nginx curl xvfb xauth x11-utils xdotool imagemagick python3 python3-xlib time
    binutils-mingw-w64-x86-64 openssl libssl-dev strace libzstd-dev zstd
)
# The Windows leg: the cross compiler, Wine to run its result, xz for the Qt
# archive, osslsigncode to sign it.
KORVEL_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine64 xz-utils osslsigncode)

# korvel_install_packages [PACKAGE...]: the given packages, or KORVEL_PACKAGES.
korvel_install_packages() {
    local missing=() pkg wanted=("$@")
    [ ${#wanted[@]} -gt 0 ] || wanted=("${KORVEL_PACKAGES[@]}")
    for pkg in "${wanted[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    # A fresh machine has no package lists.
    "${sudo[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

# korvel_test_time_scale: the factor that stretches every wait of the tests,
# KORVEL_TEST_TIME_SCALE when that is a decimal number of at least 1, else 1.
korvel_test_time_scale() {
    awk -v s="${KORVEL_TEST_TIME_SCALE:-}" \
        'BEGIN { print (s ~ /^([0-9]+\.?[0-9]*|\.[0-9]+)$/ && s + 0 >= 1) ? s + 0 : 1 }'
}

# korvel_test_time N: N seconds (or N polls) stretched by that factor, rounded up.
korvel_test_time() {
    awk -v n="$1" -v s="$(korvel_test_time_scale)" \
        'BEGIN { v = n * s; r = int(v); print (r < v) ? r + 1 : r }'
}

# korvel_build DIR [cmake options...]
korvel_build() {
    local dir=$1
    shift
    cmake -S "$KORVEL_ROOT" -B "$dir" "$@"
    cmake --build "$dir" -j "$(nproc)"
}

# korvel_unpacked VARIABLE KIND PATH: the folder PATH names, or the archive at
# PATH unpacked once into the user's cache, keyed by its hash.
korvel_unpacked() {
    local variable=$1 kind=$2 path=$3
    if [ -d "$path" ]; then
        (cd "$path" && pwd)
        return
    fi
    [ -f "$path" ] || { echo "$variable: no such file or folder: $path" >&2; return 1; }
    local cache=${XDG_CACHE_HOME:-$HOME/.cache}/korvel hash dir
    hash=$(sha256sum "$path" | cut -c1-16)
    dir=$cache/$kind-$hash
    if [ ! -d "$dir" ]; then
        mkdir -p "$cache"
        rm -rf "$dir.part"
        mkdir "$dir.part"
        tar -xJf "$path" -C "$dir.part" --strip-components=1 >&2
        mv "$dir.part" "$dir"
    fi
    echo "$dir"
}

# korvel_windows_qt: prints the folder of the Windows Qt that KORVEL_QT_WIN64
# names (qt5-win64.tar.xz or the folder it unpacks to).
korvel_windows_qt() {
    korvel_unpacked KORVEL_QT_WIN64 qt5-win64 \
        "${KORVEL_QT_WIN64:?KORVEL_QT_WIN64 must name the Windows Qt (archive or folder)}"
}

# korvel_windows_zstd: prints the folder of the Windows zstd library that
# KORVEL_ZSTD_WIN64 names (zstd-win64.tar.xz or the folder it unpacks to).
korvel_windows_zstd() {
    korvel_unpacked KORVEL_ZSTD_WIN64 zstd-win64 \
        "${KORVEL_ZSTD_WIN64:?KORVEL_ZSTD_WIN64 must name the Windows zstd library (zstd-win64.tar.xz or its folder)}"
}

# korvel_windows_bundle QT BUILD: from BUILD/bin, the bundle
# BUILD/KorvelUpdater-win64/ and the publisher's tool folder
# BUILD/korvel-manifest-win64/, each with its zip, with KorvelUpdater.exe and
# korvel-manifest.exe signed when scripts/sign-windows.sh is asked to.
korvel_windows_bundle() {
    local qt=$1 build=$2
    # First: the updater's bundle signs bin/korvel-manifest.exe, and a signed
    # exe must not be stripped.
    cmake -DQT="$qt" -DEXE="$build/bin/korvel-manifest.exe" \
        -DOUT="$build/korvel-manifest-win64" -DZIP="$build/korvel-manifest-win64.zip" \
        -DCXX=x86_64-w64-mingw32-g++-posix -DSIGN="$KORVEL_ROOT/scripts/sign-windows.sh" \
        -P "$KORVEL_ROOT/cmake/windows-bundle.cmake"
    cmake -DQT="$qt" -DEXE="$build/bin/KorvelUpdater.exe" -DQML_DIR="$KORVEL_ROOT/qml" \
        -DOUT="$build/KorvelUpdater-win64" -DZIP="$build/KorvelUpdater-win64.zip" \
        -DCXX=x86_64-w64-mingw32-g++-posix \
        -DSIGN="$KORVEL_ROOT/scripts/sign-windows.sh;$build/bin/korvel-manifest.exe" \
        -P "$KORVEL_ROOT/cmake/windows-bundle.cmake"
}

# korvel_nginx_quoted TEXT: TEXT as one quoted nginx parameter (paths with
# blanks, quotes or semicolons).
korvel_nginx_quoted() {
    local text=${1//\\/\\\\}
    printf '"%s"' "${text//\"/\\\"}"
}

# korvel_start_nginx DIR ROOT [DIRECTIVES]: a private nginx serving ROOT on a
# free loopback port, with its config, pid file, logs and temp paths in DIR and
# DIRECTIVES added to its server block. Sets KORVEL_NGINX_PORT and
# KORVEL_NGINX_PID; korvel_stop_nginx ends it by that pid. Call it from the
# script's own shell, not a subshell, so that the stop can wait for it.
KORVEL_NGINX_PID=""
KORVEL_NGINX_PORT=""
korvel_start_nginx() {
    local dir=$1 root=$2 directives=${3:-} user="" attempt i q
    mkdir -p "$dir"
    # The folder quoted, its closing quote left for the file name after it.
    q=$(korvel_nginx_quoted "$dir")
    q=${q%\"}
    # The workers must read the caller's private directories.
    [ "$(id -u)" -eq 0 ] && user="user root;"
    # A port that is free when we look may be taken before nginx binds it.
    for attempt in 1 2 3 4 5; do
        KORVEL_NGINX_PORT=$(/usr/bin/python3 -c \
            'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
        cat >"$dir/nginx.conf" <<CONF
$user
daemon off;
worker_processes 1;
pid $q/nginx.pid";
error_log $q/error.log" info;
events { worker_connections 256; }
http {
    default_type application/octet-stream;
    access_log $q/access.log";
    client_body_temp_path $q/client_body";
    proxy_temp_path $q/proxy";
    fastcgi_temp_path $q/fastcgi";
    uwsgi_temp_path $q/uwsgi";
    scgi_temp_path $q/scgi";
    sendfile on;
    keepalive_requests 100000;
    server {
        listen 127.0.0.1:$KORVEL_NGINX_PORT;
        root $(korvel_nginx_quoted "$root");
        $directives
    }
}
CONF
        /usr/sbin/nginx -p "$dir" -e "$dir/error.log" -c "$dir/nginx.conf" >>"$dir/stdout.log" 2>&1 &
        KORVEL_NGINX_PID=$!
        for i in $(seq 1 "$(korvel_test_time 100)"); do
            kill -0 "$KORVEL_NGINX_PID" 2>/dev/null || break
            curl -s -o /dev/null "http://127.0.0.1:$KORVEL_NGINX_PORT/" && return 0
            sleep 0.1
        done
        korvel_stop_nginx
    done
    echo "nginx did not start; see $dir/error.log" >&2
    return 1
}

korvel_stop_nginx() {
    if [ -n "$KORVEL_NGINX_PID" ]; then
        kill "$KORVEL_NGINX_PID" 2>/dev/null || true
        wait "$KORVEL_NGINX_PID" 2>/dev/null || true
        KORVEL_NGINX_PID=""
    fi
}
