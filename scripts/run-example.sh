#!/bin/sh
# Installs, builds and runs the server headless on examples/lpd.ini: queue lp on port
# 5515 for hosts 127.*, each job appended to examples/run/printed.txt.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
TARGETS=spoolmere sh scripts/build.sh
mkdir -p examples/run
cp examples/lpd.ini examples/run/lpd.ini
echo "Spoolmere: queue lp on port 5515; printed jobs go to examples/run/printed.txt"
echo "Try:  rlpr -N --port=5515 -H 127.0.0.1 -P lp /etc/hostname"
exec env SPOOLMERE_CONFIG="$PWD/examples/run/lpd.ini" ./build/spoolmere --headless
