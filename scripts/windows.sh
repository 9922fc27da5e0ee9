#!/usr/bin/env bash
# Cross-builds KorvelUpdater.exe and korvel-manifest.exe for 64-bit Windows in
# build-win64/, then makes the bundle build-win64/KorvelUpdater-win64/ (the exe
# with every DLL, plugin and QML module it loads), the publisher's tool folder
# build-win64/korvel-manifest-win64/ (the tool with the DLLs it loads) and
# their zips.
# KORVEL_QT_WIN64 names the Windows Qt: the archive qt5-win64.tar.xz or the
# folder it unpacks to. KORVEL_ZSTD_WIN64 names the static zstd library for
# Windows the same way (zstd-win64.tar.xz or its folder). KORVEL_PUBLISHER_KEYS, when set, names the PEM file of
# the publisher's Ed25519 public keys to compile in. With KORVEL_SIGN_PKCS12 and
# KORVEL_SIGN_PASSWORD, both programs are signed (scripts/sign-windows.sh).
# Further arguments go to cmake.
set -euo pipefail
source "$(dirname "$0")/common.sh"

korvel_install_packages "${KORVEL_PACKAGES[@]}" "${KORVEL_WINDOWS_PACKAGES[@]}"
qt=$(korvel_windows_qt)
zstd=$(korvel_windows_zstd)
build=$KORVEL_ROOT/build-win64

keys=${KORVEL_PUBLISHER_KEYS:+$(realpath "$KORVEL_PUBLISHER_KEYS")}
korvel_build "$build" -DCMAKE_TOOLCHAIN_FILE="$KORVEL_ROOT/cmake/mingw-w64.cmake" \
    -DKORVEL_QT_WIN64="$qt" -DKORVEL_ZSTD_WIN64="$zstd" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DKORVEL_PUBLISHER_KEYS="$keys" "$@"
korvel_windows_bundle "$qt" "$build"
