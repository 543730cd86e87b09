#!/bin/sh
# Installs, builds and runs the server headless on examples/lpd.ini: queue lp on port
# 5515 for this host (127.*, ::1), each job appended to examples/run/printed.txt.
set -eu
cd "$(dirname "$0")/.."
echo "run-example: checking the Debian packages it needs (apt installs the missing ones)"
sh scripts/install-deps.sh
echo "run-example: building spoolmere into build/ (a quarter of an hour on a small machine the first time)"
TARGETS=spoolmere sh scripts/build.sh
mkdir -p examples/run
cp examples/lpd.ini examples/run/lpd.ini
echo "Spoolmere: queue lp on port 5515; printed jobs go to examples/run/printed.txt"
echo "Try:  rlpr -N --port=5515 -H 127.0.0.1 -P lp /etc/hostname"
exec env SPOOLMERE_CONFIG="$PWD/examples/run/lpd.ini" ./build/spoolmere --headless
