#!/bin/sh
# Installs, builds and runs every test; then the core's tests once more under the address
# and undefined-behaviour sanitizers; then the connection's fuzz target for a bounded time.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
CMAKE_ARGS="-DSPOOLMERE_WERROR=ON ${CMAKE_ARGS:-}" sh scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
ctest --test-dir "$BUILD_DIR" --output-on-failure
# The two packages built with the hardening flags, checked by lintian and hardening-check,
# installed and run as the service user (SKIP_PACKAGE=1 leaves it out).
if [ "${SKIP_PACKAGE:-0}" != 1 ]; then
    sh scripts/package-test.sh
fi

if [ "${SKIP_SANITIZERS:-0}" != 1 ]; then
    cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSPOOLMERE_WERROR=ON \
        -DSPOOLMERE_SANITIZE=ON
    ninja -C build-sanitize test_net test_config test_protocol test_spool
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        ctest --test-dir build-sanitize -R '^(net|config|protocol|spool)$' --output-on-failure
fi

if [ "${SKIP_FUZZ:-0}" != 1 ]; then
    FUZZ_SECONDS=${FUZZ_SECONDS:-150} sh scripts/fuzz.sh
fi
