#!/usr/bin/env bash
# Signs Windows programs in place with Authenticode (osslsigncode, SHA-256).
#   scripts/sign-windows.sh FILE...
# KORVEL_SIGN_PKCS12 names the PKCS#12 file with the certificate and its key,
# KORVEL_SIGN_PASSWORD holds its password, and KORVEL_SIGN_TIMESTAMP may name
# an RFC 3161 timestamp server. Without the first two it signs nothing and
# says so in one line; with only one of them it stops.
set -euo pipefail

if [ -z "${KORVEL_SIGN_PKCS12:-}" ] && [ -z "${KORVEL_SIGN_PASSWORD:-}" ]; then
    echo "Not signed: KORVEL_SIGN_PKCS12 and KORVEL_SIGN_PASSWORD are not set"
    exit 0
fi
: "${KORVEL_SIGN_PKCS12:?must name the PKCS#12 file when KORVEL_SIGN_PASSWORD is set}"
: "${KORVEL_SIGN_PASSWORD:?must hold the password of $KORVEL_SIGN_PKCS12}"
command -v osslsigncode >/dev/null || { echo "osslsigncode is missing (package osslsigncode)" >&2; exit 1; }

# The password reaches osslsigncode in a file that only we can read, never on
# its command line, which every user of the machine can see.
private=$(mktemp -d)
trap 'rm -rf "$private"' EXIT
trap 'exit 1' INT TERM HUP
(umask 077 && printf '%s' "$KORVEL_SIGN_PASSWORD" >"$private/password")
timestamp=()
[ -z "${KORVEL_SIGN_TIMESTAMP:-}" ] || timestamp=(-ts "$KORVEL_SIGN_TIMESTAMP")

for file in "$@"; do
    if ! osslsigncode sign -pkcs12 "$KORVEL_SIGN_PKCS12" -readpass "$private/password" -h sha256 \
            "${timestamp[@]}" -in "$file" -out "$file.signed" >/dev/null; then
        rm -f "$file.signed"
        echo "Signing $file failed" >&2
        exit 1
    fi
    chmod --reference="$file" "$file.signed"
    mv "$file.signed" "$file"
    echo "Signed $file"
done
