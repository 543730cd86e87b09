#!/usr/bin/env bash
# run.sh: Spoolmere beside the floor and its peers, measured in one run.
#
#   sudo bench/run.sh [path/to/spoolmere]          (default build/spoolmere; builds nothing)
#
# Starts each server in turn on this machine, runs the scenarios against it with the same
# load generator, checks that every acknowledged job arrived byte-exact at the far end,
# and prints the tables and the targets as ratios (report.py). Servers:
#   spoolmere  the built program, headless, on a temporary lpd.ini: SPOOLDIR on disk,
#              MAXCONN 100, HOSTS 127., queue lp printed by appendjob (appendjob.c), which
#              appends the data file to an output file and notes when it started
#   before     the same with another build of the program (BIN_B), for an A/B in one run
#   sink       lpdsink (lpdsink.c): reads, writes each file, acks; the floor
#   dsink      lpdsink -s: the durable floor (fdatasync each file of a job and fsync the
#              folder before the answer that completes it); compare SYNC 1 with it
#   cups       cupsd + cups-lpd behind socat, raw queue, appending backend (needs root)
#   lprng      LPRng's lpd with :longnumber, unpacked, never installed (needs root; runs
#              only inside a private network namespace, as it looks up every job's host)
# Scenarios (scenarios.py): a b c d for every server, and for spoolmere also
#   q (queue state while (b) runs), g (one 1 GiB job: memory), f (close -> print start).
#
# Environment: SERVERS ("spoolmere sink cups", lprng added with LPRNG=1), RUNS (1; rounds
#   interleave the servers), SCENARIOS (abcd), SM_EXTRA (qgf), GEN (c|python), A_JOBS,
#   B_JOBS (2000), B_CONC (16), C_JOBS (20), C_SIZE (52428800), D_N (500), G_SIZE
#   (1073741824), F_JOBS (100), F_PACE (0.4), PRINT (c: appendjob | sh: a cat script,
#   no (f) figure), NETNS (1 when root), KEEP (0: remove the work folder's spools at the end),
#   SETTLE (0; seconds each job run may wait for file creation to be cheap again, see
#   scenarios.py --settle-max),
#   BENCH_WORK (a new folder under /var/tmp), BENCH_CACHE (~/.cache/spoolmere-bench),
#   SM_SYNC (1: lpd.ini's SYNC), SM_PRINTING (1; 0: the queue has printing off, so (a) and
#   (b) measure receiving alone and their delivery check gives up after 3 s), BIN_B.
# Results: $BENCH_WORK/results/<server>.json and report.md.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export BENCH_DIR=$HERE

if [ "${1:-}" != --inside ]; then
    BIN=${1:-build/spoolmere}
    [ -x "$BIN" ] || { echo "no program at $BIN (build it first, or name it)" >&2; exit 2; }
    BIN=$(cd "$(dirname "$BIN")" && pwd)/$(basename "$BIN")
    if [ -z "${BENCH_WORK:-}" ]; then
        BENCH_WORK=$(mktemp -d "${TMPDIR_DISK:-/var/tmp}/spoolmere-bench.XXXXXX")
    fi
    export BENCH_WORK
    export BENCH_CACHE=${BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/spoolmere-bench}
    chmod 755 "$BENCH_WORK" # the peers run as user lp inside it
    # shellcheck source=servers.sh
    source "$HERE/servers.sh"
    default="spoolmere sink"
    if [ "$(id -u)" = 0 ]; then
        default="spoolmere sink cups"
        [ "${LPRNG:-0}" = 1 ] && default="$default lprng"
    fi
    export SERVERS=${SERVERS:-$default}
    if [[ " $SERVERS " == *" cups "* || " $SERVERS " == *" lprng "* ]]; then
        [ "$(id -u)" = 0 ] || { echo "the peers (cups, lprng) need root" >&2; exit 1; }
        # shellcheck disable=SC2086
        prepare_peers $SERVERS # needs the package mirror, so before leaving the network
    fi
    build_sink
    if [ "$(id -u)" = 0 ] && [ "${NETNS:-1}" = 1 ]; then
        exec unshare --net bash "$0" --inside "$BIN"
    fi
    [[ " $SERVERS " == *" lprng "* ]] && { echo "lprng runs only with NETNS=1" >&2; exit 1; }
    exec bash "$0" --inside "$BIN"
fi
BIN=$2
# shellcheck source=servers.sh
source "$HERE/servers.sh"
if [ "$(id -u)" = 0 ] && [ "${NETNS:-1}" = 1 ]; then ip link set lo up; fi

RESULTS=$WORK/results
mkdir -p "$RESULTS"

# ---------------------------------------------------------------- spoolmere
SM_PORT=${SM_PORT:-5515}
SM_DIR=$WORK/spoolmere
SM_OUT=$SM_DIR/out/lp.out
SM_STARTS=$SM_DIR/out/starts.txt
SM_PID=
start_spoolmere() { # [program]
    local program=${1:-$BIN}
    rm -rf "$SM_DIR"
    mkdir -p "$SM_DIR"/{spool,run,out}
    : >"$SM_OUT"
    : >"$SM_STARTS"
    local command
    if [ "${PRINT:-c}" = sh ]; then
        printf '#!/bin/sh\nexec cat "$1" >>"%s"\n' "$SM_OUT" >"$SM_DIR/append.sh"
        chmod +x "$SM_DIR/append.sh"
        command="$SM_DIR/append.sh %p/%d"
    else
        command="$WORK/bin/appendjob $SM_OUT $SM_STARTS %p/%d"
    fi
    cat >"$SM_DIR/lpd.ini" <<EOF
SPOOLDIR
$SM_DIR/spool

PORT
$SM_PORT

MAXCONN
100

SYNC
${SM_SYNC:-1}

PRINTERS
$([ "${SM_PRINTING:-1}" = 0 ] && echo -)lp $command

HOSTS
127.
EOF
    SPOOLMERE_CONFIG=$SM_DIR/lpd.ini XDG_RUNTIME_DIR=$SM_DIR/run \
        "$program" --headless >"$SM_DIR/log.txt" 2>&1 &
    SM_PID=$!
    wait_port "$SM_PORT" 10 || { cat "$SM_DIR/log.txt" >&2; stop_spoolmere; return 1; }
    log "spoolmere pid $SM_PID on :$SM_PORT"
}
stop_spoolmere() {
    [ -n "$SM_PID" ] || return 0
    stop_pid "$SM_PID" spoolmere
    wait "$SM_PID" 2>/dev/null || true
    SM_PID=
}

cleanup() {
    set +e
    stop_spoolmere
    stop_all
    if [ "${KEEP:-0}" != 1 ]; then
        rm -rf "$SM_DIR" "$WORK/sink" "$WORK/cups" "$WORK/lprng"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

SCEN=${SCENARIOS:-abcd}
common=(--runs 1 --add --gen "${GEN:-c}" --a-jobs "${A_JOBS:-2000}" --b-jobs "${B_JOBS:-2000}"
    --b-conc "${B_CONC:-16}" --c-jobs "${C_JOBS:-20}" --c-size "${C_SIZE:-52428800}"
    --d-n "${D_N:-500}" --g-size "${G_SIZE:-1073741824}" --f-jobs "${F_JOBS:-100}"
    --f-pace "${F_PACE:-0.4}" --gen-c "$WORK/bin/lpdloadc" --settle-max "${SETTLE:-0}")
for s in $SERVERS; do rm -f "$RESULTS/$s.json"; done
SM_DRAIN=60
[ "${SM_PRINTING:-1}" = 0 ] && SM_DRAIN=3
for ((r = 1; r <= ${RUNS:-1}; r++)); do
    for s in $SERVERS; do
        case $s in
        spoolmere | before)
            program=$BIN
            [ "$s" = before ] && program=${BIN_B:?BIN_B names the other build}
            start_spoolmere "$program"
            starts=()
            [ "${PRINT:-c}" = sh ] || starts=(--starts "$SM_STARTS")
            python3 "$HERE/scenarios.py" --label "$s" --port "$SM_PORT" --queue lp \
                --append "$SM_OUT" "${starts[@]}" --pids "$SM_PID" --scenarios "$SCEN${SM_EXTRA-qgf}" \
                "${common[@]}" --first-run "$r" --drain-timeout "$SM_DRAIN" --truncate \
                --out "$RESULTS/$s.json"
            stop_spoolmere
            ;;
        sink | dsink)
            start_sink "$([ "$s" = dsink ] && echo -s)"
            python3 "$HERE/scenarios.py" --label "$s" --port "$SINK_PORT" --queue lp \
                --spool "$SINK_DIR" --pids "$SINK_PID" --scenarios "$SCEN" "${common[@]}" \
                --first-run "$r" --drain-timeout 10 --out "$RESULTS/$s.json"
            stop_sink
            ;;
        cups)
            start_cups
            python3 "$HERE/scenarios.py" --label cups-lpd --port "$CUPS_PORT" --queue lp \
                --append "$CUPS_OUT" --pids "$SOCAT_PID,$CUPSD_PID" --scenarios "$SCEN" \
                "${common[@]}" --first-run "$r" --drain-timeout 60 --truncate --out "$RESULTS/cups.json"
            stop_cups
            ;;
        lprng)
            export LPRNG_PRINTCAP_EXTRA=:longnumber
            start_lprng
            python3 "$HERE/scenarios.py" --label lprng --port "$LPRNG_PORT" --queue lp \
                --append "$LPRNG_OUT" --pids "$LPRNG_PID" --scenarios "$SCEN" "${common[@]}" \
                --first-run "$r" --drain-timeout 60 --truncate --out "$RESULTS/lprng.json"
            stop_lprng
            ;;
        *)
            echo "unknown server $s" >&2
            exit 2
            ;;
        esac
    done
done
files=()
for s in $SERVERS; do [ -f "$RESULTS/$s.json" ] && files+=("$RESULTS/$s.json"); done
{
    echo "Run of $(date '+%Y-%m-%d %H:%M'), $(nproc) cores, $(uname -r); rounds: ${RUNS:-1}; generator: ${GEN:-c}"
    echo
    python3 "$HERE/report.py" "${files[@]}"
} | tee "$RESULTS/report.md"
echo "results in $RESULTS" >&2
