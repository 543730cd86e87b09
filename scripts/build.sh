#!/bin/sh
# Configures and builds into build/ (BUILD_DIR and CMAKE_ARGS may override).
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} ${CMAKE_ARGS:-}
# shellcheck disable=SC2086
ninja -C "$BUILD_DIR" ${TARGETS:-}
