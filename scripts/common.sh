# Shared by the project's scripts: installs what is missing and builds.
# Source it; it sets KORVEL_ROOT.

KORVEL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

KORVEL_PACKAGES=(
    cmake g++ make
    qtbase5-dev qtdeclarative5-dev qtquickcontrols2-5-dev
    qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-controls2
    qml-module-qtquick-templates2 qml-module-qtquick-xmllistmodel qml-module-qttest
    nginx curl xvfb xauth x11-utils xdotool imagemagick python3-xlib time
    binutils-mingw-w64-x86-64 openssl
)

korvel_install_packages() {
    local missing=() pkg
    for pkg in "${KORVEL_PACKAGES[@]}"; do
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

# korvel_build DIR [cmake options...]
korvel_build() {
    local dir=$1
    shift
    cmake -S "$KORVEL_ROOT" -B "$dir" "$@"
    cmake --build "$dir" -j "$(nproc)"
}
