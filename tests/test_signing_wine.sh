#!/usr/bin/env bash
# Signing in the Windows build: with a throwaway code-signing certificate, the
# bundle is made again from the Windows build's programs with signing asked
# for; osslsigncode verifies both programs and the exe in the zip, and the
# signed bundle does tst_endtoend's whole update over http under Wine.
# Usage: test_signing_wine.sh BUILD SOURCE, with KORVEL_WIN64_BUILD and
# KORVEL_WINHELPER as for the *_wine tests.
set -euo pipefail
build_dir=$1
source "${2:-$(cd "$(dirname "$0")/.." && pwd)}/scripts/common.sh"
win=${KORVEL_WIN64_BUILD:-$KORVEL_ROOT/build-win64}
fail() { echo "FAIL: $*" >&2; exit 1; }

why=""
[ -f "$win/KorvelUpdater-win64/KorvelUpdater.exe" ] || why="no Windows build in $win"
command -v osslsigncode >/dev/null || why="osslsigncode is not installed"
[ -x /usr/lib/wine/wine64 ] || why="Wine is not installed (package wine64)"
if [ -n "$why" ]; then
    [ -z "${KORVEL_QT_WIN64:-}" ] || fail "KORVEL_QT_WIN64 is set, but $why"
    echo "Windows leg skipped: $why"
    exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A password that a careless shell would split or expand.
password="throw away 'pass' \"word\" \$HOME; *"
printf '%s' "$password" >"$work/password"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=Korvel test signer" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/signer.p12" \
    -passout "file:$work/password"

mkdir -p "$work/build/bin" "$work/unzipped"
cp "$win/bin/KorvelUpdater.exe" "$win/bin/korvel-manifest.exe" "$work/build/bin/"
qt=$(sed -n 's/^KORVEL_QT_WIN64:[A-Z]*=//p' "$win/CMakeCache.txt")
KORVEL_SIGN_PKCS12=$work/signer.p12 KORVEL_SIGN_PASSWORD=$password \
    korvel_windows_bundle "$qt" "$work/build" >"$work/bundle.log" 2>&1 \
    || fail "bundle: $(tail -n 20 "$work/bundle.log")"
! grep -qF "$password" "$work/bundle.log" || fail "the password is in the output"
(cd "$work/unzipped" && cmake -E tar xf "$work/build/KorvelUpdater-win64.zip")
for exe in build/KorvelUpdater-win64/KorvelUpdater.exe unzipped/KorvelUpdater-win64/KorvelUpdater.exe \
           build/bin/korvel-manifest.exe; do
    osslsigncode verify -CAfile "$work/cert.pem" -in "$work/$exe" >"$work/verify.log" 2>&1 \
        || fail "$exe: $(cat "$work/verify.log")"
    grep -q '^Message digest algorithm *: SHA256' "$work/verify.log" || fail "$exe: not SHA-256"
done

# A wrong password stops the build and leaves the file alone; no settings, one line.
cp "$win/bin/korvel-manifest.exe" "$work/plain.exe"
! KORVEL_SIGN_PKCS12=$work/signer.p12 KORVEL_SIGN_PASSWORD=wrong \
    "$KORVEL_ROOT/scripts/sign-windows.sh" "$work/plain.exe" >/dev/null 2>&1 || fail "signed with a wrong password"
out=$(env -u KORVEL_SIGN_PKCS12 -u KORVEL_SIGN_PASSWORD "$KORVEL_ROOT/scripts/sign-windows.sh" "$work/plain.exe")
[[ -n $out && $out != *$'\n'* ]] || fail "not one line: $out"
cmp -s "$win/bin/korvel-manifest.exe" "$work/plain.exe" || fail "changed without a certificate"

KORVEL_RUNNER=wine KORVEL_WIN64_BUILD=$work/build KORVEL_SCREENSHOT_DIR=$work \
    "$build_dir/test-bin/tst_endtoend" fullUpdate:http \
    >"$work/wine.log" 2>&1 || fail "the signed bundle: $(tail -n 30 "$work/wine.log")"
grep -q '^PASS   : TestEndToEnd::fullUpdate(http)' "$work/wine.log" || fail "$(cat "$work/wine.log")"
echo "signed and verified: KorvelUpdater.exe (bundle and zip), korvel-manifest.exe; the signed bundle updated under Wine"
