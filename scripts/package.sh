#!/bin/sh
# Builds the Debian package into build-package/ (run as root on Debian 12: it installs the
# build dependencies first). Then: apt install ./build-package/spoolmere_*.deb
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build-package}
BUILD_DIR="$BUILD_DIR" CMAKE_ARGS="-DSPOOLMERE_TESTS=OFF ${CMAKE_ARGS:-}" sh scripts/build.sh
(cd "$BUILD_DIR" && cpack -G DEB)
