#!/usr/bin/env bash
# Installs what is missing, builds in build/ and runs every test through ctest.
set -euo pipefail
source "$(dirname "$0")/common.sh"

korvel_install_packages
korvel_build "$KORVEL_ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo

cd "$KORVEL_ROOT/build"
ctest --output-on-failure "$@"
