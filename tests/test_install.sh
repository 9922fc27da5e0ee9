#!/usr/bin/env bash
# `cmake --install` puts both programs in DIR/bin, and they run from there.
# Usage: test_install.sh BUILD SOURCE
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$prefix/install.log" || { cat "$prefix/install.log"; fail "install failed"; }
for program in KorvelUpdater korvel-manifest; do
    [ -f "$prefix/bin/$program" ] && [ -x "$prefix/bin/$program" ] || fail "$prefix/bin/$program is missing"
done

# The installed tool works on its own.
mkdir "$prefix/release"
printf 'component\n' >"$prefix/release/a.bin"
"$prefix/bin/korvel-manifest" --help | grep -q 'DIRECTORY BASE-URL' || fail "korvel-manifest --help"
"$prefix/bin/korvel-manifest" "$prefix/release" http://127.0.0.1/r/ | grep -q '<url>http://127.0.0.1/r/a.bin</url>' \
    || fail "the installed korvel-manifest wrote no manifest"
echo "installed: $(cd "$prefix" && ls bin | tr '\n' ' ')"
