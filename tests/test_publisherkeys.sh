#!/usr/bin/env bash
# The build takes Ed25519 public keys only: cmake/publisherkeys.cmake, run as
# the updater's build runs it, takes the test keys and refuses an RSA key.
set -euo pipefail
source_dir=${2:-$(cd "$(dirname "$0")/.." && pwd)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build_keys() {
    { cmake -DKEYS="$1" -DOUT="$work/keys.cpp" -P "$source_dir/cmake/publisherkeys.cmake" 2>&1 || true; } | tr -s ' \n' ' '
}
build_keys "$source_dir/tests/data/test-publisher-keys.pub.pem" | grep -q 'Error' && { echo "FAIL: test keys refused"; exit 1; }
openssl genpkey -algorithm rsa -pkeyopt rsa_keygen_bits:2048 2>/dev/null | openssl pkey -pubout >"$work/rsa.pem"
cat "$source_dir/tests/data/test-publisher-keys.pub.pem" >>"$work/rsa.pem"
build_keys "$work/rsa.pem" | grep -q 'block 1 (PUBLIC KEY) is not an Ed25519 public key' \
    || { echo "FAIL: an RSA key was taken"; exit 1; }
echo "ok: the test keys taken, an RSA key beside them refused"
