#!/bin/sh
# Builds the libFuzzer target of the connection input with clang (ASan, UBSan) and runs it
# for a bounded time from the seed corpus. Fails on any crash, leak, sanitizer report or
# timeout; a finding is left in $FUZZ_ARTIFACTS (keep it in tests/fuzz/crashers/ once fixed,
# where every run replays it first).
set -eu
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-150}
build=${FUZZ_BUILD_DIR:-build-fuzz}
artifacts=${FUZZ_ARTIFACTS:-$build/findings}

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSPOOLMERE_FUZZ=ON -DSPOOLMERE_TESTS=OFF ${FUZZ_CMAKE_ARGS:-}
ninja -C "$build" fuzz_connection

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
fuzzer="$build/tests/fuzz/fuzz_connection"

# Earlier findings stay fixed.
crashers=$(find tests/fuzz/crashers -type f ! -name '.*')
if [ -n "$crashers" ]; then
    # shellcheck disable=SC2086
    "$fuzzer" $crashers
fi

# The corpus grows in a scratch copy; the checked-in seeds stay small.
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp tests/fuzz/corpus/* "$corpus"/
mkdir -p "$artifacts"
"$fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=16384 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus"
