# servers.sh: start and stop the peer LPD servers for the benchmark. Source it (bash).
#
#   prepare_peers            (outside the network namespace) fetch/extract LPRng, install CUPS
#   start_lprng / stop_lprng LPRng lpd on 127.0.0.1:$LPRNG_PORT, queue lp, prints to $LPRNG_OUT
#                            ($LPRNG_PRINTCAP_EXTRA, e.g. ":longnumber", is added to the entry)
#   start_cups  / stop_cups  private cupsd + cups-lpd behind socat on :$CUPS_PORT, queue lp,
#                            prints to $CUPS_OUT through an appending backend
#   start_sink  / stop_sink  lpdsink on :$SINK_PORT writing into $SINK_DIR
#
# Every process is started here and stopped by its PID. LPRng reads its configuration
# only from /etc/lprng/lpd.conf, so start_lprng saves any existing /etc/lprng and
# stop_lprng puts it back (or removes the directory it created). CUPS runs from a
# private ServerRoot under $WORK, so /etc/cups is not touched; its backend is installed
# in /usr/lib/cups/backend/lpdbench and removed by stop_cups.

# BENCH_WORK: a folder on disk (run.sh makes one under /var/tmp, which stays disk-backed
# where /tmp is a tmpfs), like a real spool. BENCH_CACHE keeps the unpacked LPRng.
WORK=${BENCH_WORK:?BENCH_WORK must name the work folder of the benchmark}
CACHE=${BENCH_CACHE:-$WORK/cache}
BENCH_DIR=${BENCH_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)}
LPRNG_PORT=${LPRNG_PORT:-5517}
CUPS_PORT=${CUPS_PORT:-5516}
SINK_PORT=${SINK_PORT:-5518}
LPRNG_ROOT=$CACHE/lprng-root
LPRNG_DIR=$WORK/lprng
LPRNG_OUT=$LPRNG_DIR/out/lp.out
CUPS_DIR=$WORK/cups
CUPS_OUT=$CUPS_DIR/out/lp.out
CUPS_SOCK=$CUPS_DIR/run/cups.sock
CUPS_BACKEND=/usr/lib/cups/backend/lpdbench
SINK_DIR=$WORK/sink/spool
SINK_BIN=$WORK/bin/lpdsink

log() { echo "[$(date +%T)] $*" >&2; }

wait_port() { # port seconds
    local i
    for ((i = 0; i < ${2:-10} * 20; i++)); do
        if python3 - "$1" <<'EOF' 2>/dev/null; then return 0; fi
import socket, sys
socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=0.5).close()
EOF
        sleep 0.05
    done
    log "port $1 did not open"
    return 1
}

stop_pid() { # pid [name]
    local pid=$1 i
    [ -n "$pid" ] || return 0
    kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    log "${2:-$pid} ignored SIGTERM; SIGKILL"
    kill -KILL "$pid" 2>/dev/null || true
}

# Children of a PID (one level), for servers whose forked helpers must also go.
child_pids() { ps -o pid= --ppid "$1" 2>/dev/null | tr -d ' ' || true; }

prepare_peers() { # [lprng] [cups]
    mkdir -p "$CACHE/debs" "$WORK/bin"
    if [[ " $* " == *" lprng "* ]] && [ ! -x "$LPRNG_ROOT/usr/sbin/lpd" ]; then
        # Never 'apt-get install lprng': it replaces cups-bsd/cups-client. Unpack it instead.
        if ! ls "$CACHE"/debs/lprng_*.deb >/dev/null 2>&1; then
            (cd "$CACHE/debs" && apt-get download lprng) ||
                { apt-get update -qq && (cd "$CACHE/debs" && apt-get download lprng); }
        fi
        rm -rf "$LPRNG_ROOT"
        dpkg-deb -x "$(ls "$CACHE"/debs/lprng_*.deb | head -1)" "$LPRNG_ROOT"
    fi
    if [[ " $* " == *" cups "* ]]; then
        if [ ! -x /usr/sbin/cupsd ] || [ ! -x /usr/lib/cups/daemon/cups-lpd ] || ! command -v lpadmin >/dev/null; then
            apt-get install -y --no-install-recommends cups-daemon cups-client cups
        fi
        command -v socat >/dev/null || apt-get install -y --no-install-recommends socat
    fi
}

build_sink() {
    mkdir -p "$WORK/bin"
    if [ ! -x "$SINK_BIN" ] || [ "$BENCH_DIR/lpdsink.c" -nt "$SINK_BIN" ]; then
        cc -O2 -Wall -pthread -o "$SINK_BIN" "$BENCH_DIR/lpdsink.c"
    fi
    if [ -f "$BENCH_DIR/lpdloadc.c" ] && { [ ! -x "$WORK/bin/lpdloadc" ] || [ "$BENCH_DIR/lpdloadc.c" -nt "$WORK/bin/lpdloadc" ]; }; then
        cc -O2 -Wall -pthread -o "$WORK/bin/lpdloadc" "$BENCH_DIR/lpdloadc.c" -lm
    fi
    if [ -f "$BENCH_DIR/appendjob.c" ] && { [ ! -x "$WORK/bin/appendjob" ] || [ "$BENCH_DIR/appendjob.c" -nt "$WORK/bin/appendjob" ]; }; then
        cc -O2 -Wall -o "$WORK/bin/appendjob" "$BENCH_DIR/appendjob.c"
    fi
}

# ---------------------------------------------------------------- LPRng
LPRNG_PID=
LPRNG_ETC_SAVED=
start_lprng() {
    [ -z "$LPRNG_PID" ] || return 0
    [ -x "$LPRNG_ROOT/usr/sbin/lpd" ] || { log "no $LPRNG_ROOT/usr/sbin/lpd: run prepare_peers first"; return 1; }
    rm -rf "$LPRNG_DIR"
    mkdir -p "$LPRNG_DIR"/{spool/lp,out,run}
    : >"$LPRNG_OUT"
    : >"$LPRNG_DIR/lpd.log" # lpd -L only appends to an existing file; without it lpd exits silently
    cat >"$LPRNG_DIR/printcap" <<EOF
lp:
  :sd=$LPRNG_DIR/spool/lp
  :lp=$LPRNG_OUT
  :sh:mx=0${LPRNG_PRINTCAP_EXTRA:+
  $LPRNG_PRINTCAP_EXTRA}
EOF
    echo "DEFAULT ACCEPT" >"$LPRNG_DIR/lpd.perms"
    if grep -qs '^# written by lpdbench' /etc/lprng/lpd.conf; then
        # left over from an interrupted run of ours: put back what that run saved
        rm -rf /etc/lprng
        if [ -d "$CACHE/etc-lprng.saved" ]; then mv "$CACHE/etc-lprng.saved" /etc/lprng; fi
    fi
    if [ -e /etc/lprng ]; then
        LPRNG_ETC_SAVED=$CACHE/etc-lprng.saved
        rm -rf "$LPRNG_ETC_SAVED"
        mv /etc/lprng "$LPRNG_ETC_SAVED"
    else
        LPRNG_ETC_SAVED=none
    fi
    mkdir -p /etc/lprng
    cat >/etc/lprng/lpd.conf <<EOF
# written by lpdbench servers.sh; removed when the benchmark stops
printcap_path=$LPRNG_DIR/printcap
lpd_printcap_path=$LPRNG_DIR/printcap
perms_path=$LPRNG_DIR/lpd.perms
lockfile=$LPRNG_DIR/run/lpd
unix_socket_path=$LPRNG_DIR/run/unixsocket
lpd_listen_port=$LPRNG_PORT
lpd_port=$LPRNG_PORT
user=lp
group=lp
EOF
    chown -R lp:lp "$LPRNG_DIR"
    "$LPRNG_ROOT/usr/sbin/checkpc" -f >"$LPRNG_DIR/checkpc.log" 2>&1 || true
    "$LPRNG_ROOT/usr/sbin/lpd" -F -L "$LPRNG_DIR/lpd.log" >"$LPRNG_DIR/lpd.out" 2>&1 &
    LPRNG_PID=$!
    wait_port "$LPRNG_PORT" 10 || { stop_lprng; return 1; }
    log "LPRng lpd pid $LPRNG_PID on :$LPRNG_PORT"
}

stop_lprng() {
    if [ -n "$LPRNG_PID" ]; then
        local kids
        kids=$(child_pids "$LPRNG_PID")
        stop_pid "$LPRNG_PID" "LPRng lpd"
        for k in $kids; do stop_pid "$k"; done
        wait "$LPRNG_PID" 2>/dev/null || true
        LPRNG_PID=
    fi
    if [ "$LPRNG_ETC_SAVED" = none ]; then
        rm -rf /etc/lprng
    elif [ -n "$LPRNG_ETC_SAVED" ]; then
        rm -rf /etc/lprng && mv "$LPRNG_ETC_SAVED" /etc/lprng
    fi
    LPRNG_ETC_SAVED=
}

# ---------------------------------------------------------------- CUPS
CUPSD_PID=
SOCAT_PID=
start_cups() {
    [ -z "$CUPSD_PID" ] || return 0
    rm -rf "$CUPS_DIR"
    mkdir -p "$CUPS_DIR"/{etc,spool/tmp,cache,run,log,out}
    chown root:lp "$CUPS_DIR/etc" "$CUPS_DIR/spool" "$CUPS_DIR/cache" "$CUPS_DIR/run"
    chmod 0755 "$CUPS_DIR/etc" "$CUPS_DIR/run"
    chmod 0710 "$CUPS_DIR/spool"
    chmod 1770 "$CUPS_DIR/spool/tmp"
    chown root:lp "$CUPS_DIR/spool/tmp"
    cp /etc/cups/raw.types /etc/cups/raw.convs "$CUPS_DIR/etc/" 2>/dev/null || true
    : >"$CUPS_OUT"
    cat >"$CUPS_DIR/etc/cups-files.conf" <<EOF
ServerRoot $CUPS_DIR/etc
RequestRoot $CUPS_DIR/spool
TempDir $CUPS_DIR/spool/tmp
CacheDir $CUPS_DIR/cache
StateDir $CUPS_DIR/run
AccessLog $CUPS_DIR/log/access_log
ErrorLog $CUPS_DIR/log/error_log
PageLog $CUPS_DIR/log/page_log
Printcap $CUPS_DIR/run/printcap
SystemGroup root lpadmin
FileDevice No
EOF
    cat >"$CUPS_DIR/etc/cupsd.conf" <<EOF
LogLevel warn
MaxLogSize 0
Listen $CUPS_SOCK
Browsing No
WebInterface No
DefaultAuthType Basic
# Completed jobs are not kept, and the default cap of 500 jobs would refuse a 2000-job run.
MaxJobs 0
PreserveJobHistory No
PreserveJobFiles No
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF
    cat >"$CUPS_BACKEND" <<'EOF'
#!/bin/sh
# lpdbench backend: appends each job to the file named after "lpdbench:" in the device URI.
[ $# -eq 0 ] && { echo 'direct lpdbench "Unknown" "lpdbench file sink"'; exit 0; }
out=${DEVICE_URI#lpdbench:}
if [ -n "$6" ]; then cat "$6" >>"$out"; else cat >>"$out"; fi
EOF
    chmod 0700 "$CUPS_BACKEND"
    /usr/sbin/cupsd -f -c "$CUPS_DIR/etc/cupsd.conf" -s "$CUPS_DIR/etc/cups-files.conf" \
        >"$CUPS_DIR/log/cupsd.out" 2>&1 &
    CUPSD_PID=$!
    local i
    for ((i = 0; i < 100; i++)); do [ -S "$CUPS_SOCK" ] && break; sleep 0.1; done
    [ -S "$CUPS_SOCK" ] || { log "cupsd did not start"; cat "$CUPS_DIR/log/cupsd.out" "$CUPS_DIR/log/error_log" >&2; stop_cups; return 1; }
    export CUPS_SERVER=$CUPS_SOCK
    lpadmin -p lp -E -v "lpdbench:$CUPS_OUT" >"$CUPS_DIR/log/lpadmin.out" 2>&1 ||
        { cat "$CUPS_DIR/log/lpadmin.out" >&2; stop_cups; return 1; }
    # inetd-style, as the packaged socket unit runs it: socat forks per connection and
    # execs cups-lpd as user lp on the socket itself (nofork).
    socat TCP-LISTEN:"$CUPS_PORT",fork,reuseaddr,bind=127.0.0.1,backlog=128 \
        EXEC:"/usr/lib/cups/daemon/cups-lpd -n -o job-sheets=none",nofork,su=lp \
        >"$CUPS_DIR/log/socat.out" 2>&1 &
    SOCAT_PID=$!
    wait_port "$CUPS_PORT" 10 || { stop_cups; return 1; }
    log "cupsd pid $CUPSD_PID, socat/cups-lpd pid $SOCAT_PID on :$CUPS_PORT"
}

stop_cups() {
    if [ -n "$SOCAT_PID" ]; then
        local kids k
        kids=$(child_pids "$SOCAT_PID")
        stop_pid "$SOCAT_PID" socat
        for k in $kids; do stop_pid "$k"; done
        wait "$SOCAT_PID" 2>/dev/null || true
        SOCAT_PID=
    fi
    if [ -n "$CUPSD_PID" ]; then
        stop_pid "$CUPSD_PID" cupsd
        wait "$CUPSD_PID" 2>/dev/null || true
        CUPSD_PID=
    fi
    rm -f "$CUPS_BACKEND"
    unset CUPS_SERVER
}

# ---------------------------------------------------------------- sink
SINK_PID=
start_sink() { # [-n]: read and ack only, write nothing; [-s]: durable (lpdsink -s)
    [ -z "$SINK_PID" ] || return 0
    build_sink
    rm -rf "$SINK_DIR"
    mkdir -p "$SINK_DIR"
    if [ "${1:-}" = -s ]; then
        "$SINK_BIN" -p "$SINK_PORT" -d "$SINK_DIR" -s 2>"$WORK/sink/lpdsink.log" &
    elif [ "${1:-}" = -n ]; then
        "$SINK_BIN" -p "$SINK_PORT" -n 2>"$WORK/sink/lpdsink.log" &
    else
        "$SINK_BIN" -p "$SINK_PORT" -d "$SINK_DIR" 2>"$WORK/sink/lpdsink.log" &
    fi
    SINK_PID=$!
    wait_port "$SINK_PORT" 10 || { stop_sink; return 1; }
    log "lpdsink pid $SINK_PID on :$SINK_PORT"
}

stop_sink() {
    [ -n "$SINK_PID" ] || return 0
    stop_pid "$SINK_PID" lpdsink
    wait "$SINK_PID" 2>/dev/null || true
    SINK_PID=
}

# Safe as an EXIT trap under set -e: every step runs even if one fails.
stop_all() {
    set +e
    stop_sink
    stop_cups
    stop_lprng
}
