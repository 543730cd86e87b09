#!/bin/sh
# Jobs per second through the network targets, beside a print command that does the same
# with nc: N jobs of SIZE bytes (lpdload.py, one connection at a time) to each queue of one
# server, timed from the first connect until the queue's folder is empty (every job printed
# and its files gone), then the far end checked for the bytes.
#   sh bench/network.sh build/spoolmere [N] [SIZE]
# Queues: sock |socket:// (socat appending to a file), fwd |lpd:// (a second spoolmere that
# prints with /bin/true), cmd: a script running nc -N to the same socat. Loopback only.
set -eu
BIN=$(readlink -f "$1"); N=${2:-500}; SIZE=${3:-1024}
HERE=$(cd "$(dirname "$0")" && pwd)
W=$(mktemp -d /var/tmp/spoolmere-netbench.XXXXXX)
PIDS=""
cleanup() { for p in $PIDS; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true
            [ -n "${KEEP:-}" ] || rm -rf "$W"; }
trap cleanup EXIT INT TERM
port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
SOCK=$(port); FRONT=$(port); BACK=$(port)
socat -u TCP-LISTEN:$SOCK,bind=127.0.0.1,reuseaddr,fork OPEN:"$W/printed.bin",creat,append &
PIDS="$PIDS $!"
mkdir -p "$W/back" "$W/front"
printf '#!/bin/sh\nexec nc -N 127.0.0.1 %s < "$1"\n' "$SOCK" > "$W/nc.sh"; chmod +x "$W/nc.sh"
printf 'SPOOLDIR\r\n%s/back/spool\r\n\r\nPORT\r\n%s\r\n\r\nPRINTERS\r\nlp /bin/true %%p/%%d\r\n\r\nHOSTS\r\n127.\r\n' "$W" "$BACK" > "$W/back/lpd.ini"
printf 'SPOOLDIR\r\n%s/front/spool\r\n\r\nPORT\r\n%s\r\n\r\nPRINTERS\r\nsock |socket://127.0.0.1:%s\r\nfwd |lpd://127.0.0.1:%s/lp\r\ncmd %s/nc.sh %%p/%%d\r\n\r\nHOSTS\r\n127.\r\n' \
    "$W" "$FRONT" "$SOCK" "$BACK" "$W" > "$W/front/lpd.ini"
for s in back front; do
    SPOOLMERE_CONFIG="$W/$s/lpd.ini" XDG_RUNTIME_DIR="$W/$s" "$BIN" --headless > "$W/$s/log" 2>&1 &
    PIDS="$PIDS $!"
done
sleep 1
# The print record (a dot file) stays.
empty() { [ -z "$(ls "$W/front/spool/$1" 2>/dev/null)" ]; }
for q in sock fwd cmd; do
    before=$(stat -c %s "$W/printed.bin" 2>/dev/null || echo 0)
    t0=$(date +%s.%N)
    python3 "$HERE/lpdload.py" 127.0.0.1 "$FRONT" "$q" --jobs "$N" --size "$SIZE" --json > "$W/$q.json"
    while ! empty "$q"; do sleep 0.05; done
    t1=$(date +%s.%N)
    after=$(stat -c %s "$W/printed.bin" 2>/dev/null || echo 0)
    case $q in fwd) got=$(grep -c "Successful: |lpd" "$W/front/log") ;;
               *) got=$(( (after - before) / SIZE )) ;; esac
    printf '%-5s %5d jobs of %d B: %7.1f jobs/s end to end (%d delivered)\n' "$q" "$N" "$SIZE" \
        "$(echo "$N / ($t1 - $t0)" | bc -l)" "$got"
done
