#!/bin/sh
# Screenshots of the desktop program for review, at scale 1 and 2 and with a 16 pt font: the
# main window with its Jobs table (a job printing, one waiting behind it, one waiting for a
# retry, one whose printer has printing disabled), Finished Jobs, both Setup tabs, About,
# Extended Log, the help window and a start whose port is taken. Runs the built program under Xvfb with openbox and trayer on a private HOME; writes PNG
# files to the folder given (default: shots/, not part of the source tree's history).
#   sh scripts/screenshots.sh [build-dir] [out-dir]
set -eu
cd "$(dirname "$0")/.."
BUILD=${1:-build}
OUT=${2:-shots}
for tool in Xvfb openbox trayer xdotool import; do
    command -v "$tool" >/dev/null || { echo "missing $tool (apt-get install imagemagick openbox trayer xdotool)"; exit 1; }
done
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
ROOT=$(mktemp -d)
trap 'kill $(cat "$ROOT"/*.pid 2>/dev/null) 2>/dev/null; rm -rf "$ROOT"' EXIT

export HOME="$ROOT/home" XDG_CONFIG_HOME="$ROOT/home/.config" XDG_RUNTIME_DIR="$ROOT/run"
export SPOOLMERE_CONFIG="$XDG_CONFIG_HOME/spoolmere/lpd.ini"
mkdir -p "$XDG_CONFIG_HOME/spoolmere" && mkdir -m 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

# Waits until the command succeeds (a window mapped, a file written), at most 20 s.
until_ok() {
    i=0
    until "$@" >/dev/null 2>&1; do
        i=$((i + 1))
        [ $i -lt 400 ] || { echo "timed out: $*"; exit 1; }
        sleep 0.05
    done
}
window() { xdotool search --onlyvisible --name "^$1\$" | head -1; }
has_window() { [ -n "$(window "$1")" ]; }
shot() { # window title, file name: the window with its frame
    until_ok has_window "$1"
    w=$(window "$1")
    geometry=$(xwininfo -id "$w" | awk '/Width/{w=$2}/Height/{h=$2}/Absolute upper-left X/{x=$4}/Absolute upper-left Y/{y=$4}END{print w, h, x, y}')
    extents=$(xprop -id "$w" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
    crop=$(echo $geometry $extents | awk '{print $1+$5+$6 "x" $2+$7+$8 "+" $3-$5 "+" $4-$7}')
    import -window root -crop "$crop" "$OUT/$2"
    echo "$OUT/$2"
}
# Opens a menu entry by its access keys until the window of that title is up (a key sent
# while the window manager still moves the focus can be lost).
menu() { # menu key, entry key, window title
    for attempt in 1 2 3 4 5; do
        xdotool windowactivate --sync "$main"
        xdotool key --window "$main" "alt+$1"; xdotool key --window "$main" "$2"
        i=0
        while [ $i -lt 60 ]; do
            has_window "$3" && return 0
            i=$((i + 1)); sleep 0.05
        done
        xdotool key Escape
    done
    echo "no $3 window"; exit 1
}
close() { # window title [key]
    w=$(window "$1")
    xdotool windowactivate --sync "$w"
    xdotool key "${2:-Escape}"
    until_ok sh -c "! xdotool search --onlyvisible --name '^$1\$'"
}

Xvfb -displayfd 1 -screen 0 1280x800x24 -nolisten tcp >"$ROOT/display" 2>/dev/null &
echo $! >"$ROOT/xvfb.pid"
until_ok test -s "$ROOT/display"
export DISPLAY=":$(head -1 "$ROOT/display")"
openbox >/dev/null 2>&1 &
echo $! >"$ROOT/openbox.pid"
until_ok sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window'
trayer --edge bottom --align right --widthtype pixel --width 120 --height 24 >/dev/null 2>&1 &
echo $! >"$ROOT/trayer.pid"
until_ok xdotool search --class trayer

# Scale 1, scale 2 and a 16 pt font (the desktop's text size; here through a style sheet,
# as no desktop settings service runs under Xvfb).
printf '* { font-size: 16pt; }\n' >"$ROOT/16pt.qss"
# A print that lasts until the run is over, so that its job shows as printing.
printf '#!/bin/sh\nwhile [ ! -e "%s/go" ]; do sleep 0.1; done\n' "$ROOT" >"$ROOT/slow.sh"
chmod +x "$ROOT/slow.sh"
# One job over LPD: queue, job number, host, user, title.
send_job() {
    python3 - "$port" "$@" <<'PY'
import socket, sys
port, queue, number, host, user, title = sys.argv[1:]
data = b"page\n"
name = ("%03d%s" % (int(number), host)).encode()
control = b"H%s\nP%s\nJ%s\nldfA%s\n" % (host.encode(), user.encode(), title.encode(), name)
with socket.create_connection(("127.0.0.1", int(port))) as s:
    s.sendall(b"\x02" + queue.encode() + b"\n"); s.recv(1)
    for kind, body in ((b"\x02", control), (b"\x03", data)):
        s.sendall(kind + b"%d %sfA%s\n" % (len(body), b"c" if kind == b"\x02" else b"d", name))
        s.recv(1); s.sendall(body + b"\0"); s.recv(1)
PY
}
for scale in 1 2 16pt; do
    case $scale in
    16pt) factor=1; style="-stylesheet $ROOT/16pt.qss" ;;
    *) factor=$scale; style= ;;
    esac
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    rm -rf "$ROOT/go" "$XDG_CONFIG_HOME/spoolmere/spool"
    printf 'SPOOLDIR\r\n\r\nPORT\r\n%s\r\nPRINTERS\r\nlp %s %%p/%%d\r\nbad /bin/false\r\n-held /bin/true\r\nraw |smb://server/printer\r\nHOSTS\r\n127.0.0.1\r\nSTOPWAIT\r\n0\r\n' "$port" "$ROOT/slow.sh" >"$SPOOLMERE_CONFIG"
    rm -f "$XDG_CONFIG_HOME/spoolmere/desktop.ini"
    # shellcheck disable=SC2086
    QT_SCALE_FACTOR=$factor "$BUILD/spoolmere-desktop" open $style >"$ROOT/app.log" 2>&1 &
    echo $! >"$ROOT/app.pid"
    until_ok sh -c "ss -ltn | grep -q ':$port '"
    send_job lp 1 office ann report.pdf
    send_job lp 2 lab bob minutes.txt
    send_job lp 2 office bob minutes.txt
    send_job bad 3 office eve slides.ps
    send_job held 4 lab ann invoice.pdf
    until_ok sh -c "'$BUILD/spoolmere' --status | grep -q 'exit status'"
    shot Spoolmere "main-${scale}.png"
    main=$(window Spoolmere)
    menu j f "Finished Jobs"
    shot "Finished Jobs" "finished-jobs-${scale}.png"
    close "Finished Jobs"
    menu f s Setup
    shot Setup "setup-general-${scale}.png"
    close Setup
    menu f e "Edit Printer"
    shot "Edit Printer" "setup-printer-${scale}.png"
    close "Edit Printer"
    menu h a "About Spoolmere"
    shot "About Spoolmere" "about-${scale}.png"
    close "About Spoolmere"
    menu h e "Extended Log"
    shot "Extended Log" "extended-log-${scale}.png"
    close "Extended Log"
    # No browser here: the help opens in the program's own window.
    menu h c "Spoolmere Help"
    shot "Spoolmere Help" "help-${scale}.png"
    close "Spoolmere Help" alt+F4
    touch "$ROOT/go"
    "$BUILD/spoolmere" --send lpddown
    until_ok sh -c "! kill -0 $(cat "$ROOT/app.pid")"

    # A start whose port is taken: the window and the error box.
    python3 -c 'import socket,sys,time; s=socket.socket(); s.bind(("",'"$port"')); s.listen(); time.sleep(60)' &
    echo $! >"$ROOT/holder.pid"
    until_ok sh -c "ss -ltn | grep -q ':$port '"
    # shellcheck disable=SC2086
    QT_SCALE_FACTOR=$factor "$BUILD/spoolmere-desktop" $style >"$ROOT/app.log" 2>&1 &
    echo $! >"$ROOT/app.pid"
    shot Error "start-error-${scale}.png"
    import -window root "$OUT/start-error-screen-${scale}.png"
    "$BUILD/spoolmere" --send lpddown
    until_ok sh -c "! kill -0 $(cat "$ROOT/app.pid")"
    kill "$(cat "$ROOT/holder.pid")"
    rm -f "$ROOT/holder.pid"
done
