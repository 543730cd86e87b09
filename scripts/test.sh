#!/bin/sh
# Installs, builds and runs every test.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
CMAKE_ARGS="-DSPOOLMERE_WERROR=ON ${CMAKE_ARGS:-}" sh scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
ctest --test-dir "$BUILD_DIR" --output-on-failure
