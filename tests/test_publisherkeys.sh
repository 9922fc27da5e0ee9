#!/usr/bin/env bash
# The build takes Ed25519 public keys only: it runs cmake/publisherkeys.cmake
# as the updater's build does, on the test keys and on files with another kind.
set -euo pipefail
source_dir=${2:-$(cd "$(dirname "$0")/.." && pwd)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
keys=$source_dir/tests/data/test-publisher-keys.pub.pem

build_keys() {
    cmake -DKEYS="$1" -DOUT="$work/keys.cpp" -P "$source_dir/cmake/publisherkeys.cmake" >"$work/out" 2>&1
}

build_keys "$keys" || { cat "$work/out"; echo "FAIL: the test keys were refused"; exit 1; }
grep -q 'MCowBQYDK2VwAyEA' "$work/keys.cpp" || { echo "FAIL: no key compiled in"; exit 1; }

openssl genpkey -algorithm rsa -pkeyopt rsa_keygen_bits:2048 2>/dev/null | openssl pkey -pubout >"$work/rsa.pem"
openssl genpkey -algorithm ec -pkeyopt ec_paramgen_curve:P-256 2>/dev/null | openssl pkey -pubout >"$work/ec.pem"
cat "$keys" "$work/rsa.pem" >"$work/mixed.pem"
failed=0
for file in rsa ec mixed; do
    if build_keys "$work/$file.pem"; then
        echo "FAIL: the $file key file was taken"
        failed=1
    # CMake wraps its messages.
    elif ! tr -s ' \n' ' ' <"$work/out" | grep -q 'is not an Ed25519 public key'; then
        cat "$work/out"
        echo "FAIL: the $file key file was refused without its reason"
        failed=1
    else
        echo "ok: the $file key file is refused"
    fi
done
exit $failed
