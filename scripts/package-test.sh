#!/bin/sh
# The Debian package as an administrator meets it (run as root on Debian 12, after the
# build): build the .deb, check its files and dependencies, install it, verify the unit,
# then run the unit's ExecStart as the service user by hand (CI has no systemd as PID 1),
# with the unit's capability, on port 515 and the default lpd.ini. Jobs go in over IPv4
# (rlpr) and IPv6 (CUPS' lpd backend); SIGHUP applies a port change and a new printer and
# keeps the running settings when the file is broken. The package is purged at the end.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
work=$(mktemp -d)
server=""
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package test: $*" >&2; [ -f "$work/log" ] && cat "$work/log" >&2; exit 1; }
# Waits up to 20 s for a command to succeed.
wait_for() { i=0; until "$@" >/dev/null 2>&1; do i=$((i + 1)); [ $i -lt 200 ] || return 1; sleep 0.1; done; }

# It installs and purges the package: never on a machine where it is in use.
if dpkg-query -W -f='${Status}' spoolmere 2>/dev/null | grep -q "install ok installed"; then
    echo "package test: skipped, spoolmere is installed here (apt purge spoolmere to run it)"
    exit 0
fi
(cd "$BUILD_DIR" && cpack -G DEB >/dev/null)
deb=$(ls "$BUILD_DIR"/spoolmere_*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' > "$work/files"
for f in ./usr/bin/spoolmere ./usr/bin/spoolmere-desktop ./etc/spoolmere/lpd.ini \
    ./usr/lib/systemd/system/spoolmere.service ./usr/lib/sysusers.d/spoolmere.conf \
    ./usr/lib/tmpfiles.d/spoolmere.conf ./usr/libexec/spoolmere/print-to-file \
    ./usr/share/man/man8/spoolmere.8.gz ./usr/share/man/man5/lpd.ini.5.gz \
    ./usr/share/applications/spoolmere.desktop \
    ./usr/share/icons/hicolor/scalable/apps/spoolmere.svg \
    ./usr/share/icons/hicolor/48x48/apps/spoolmere.png; do
    grep -qx "$f" "$work/files" || fail "$f is not in the package"
done
dpkg-deb -f "$deb" Depends > "$work/depends"
for d in libqt6core6 libqt6widgets6 libcups2 libsystemd0 libc6; do
    grep -q "$d" "$work/depends" || fail "Depends lacks $d: $(cat "$work/depends")"
done
dpkg-deb -I "$deb" conffiles | grep -qx /etc/spoolmere/lpd.ini ||
    fail "lpd.ini is not a conffile"

apt-get install -y -qq "./$deb" >/dev/null
id -nG spoolmere | grep -qw lp || fail "the service user is not in the group lp"
[ "$(stat -c %U /var/spool/spoolmere)" = spoolmere ] || fail "the spool does not belong to spoolmere"
desktop-file-validate /usr/share/applications/spoolmere.desktop || fail "desktop entry"
unit=/usr/lib/systemd/system/spoolmere.service
systemd-analyze verify --man=no "$unit" 2>"$work/verify" || fail "systemd-analyze: $(cat "$work/verify")"
[ ! -s "$work/verify" ] || fail "systemd-analyze: $(cat "$work/verify")"

# The unit's command, environment and capability, as systemd would give them.
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
environment=$(sed -n 's/^Environment=//p' "$unit")
install -d -o spoolmere -g spoolmere -m 0700 /run/spoolmere
# shellcheck disable=SC2086
setpriv --reuid=spoolmere --regid=spoolmere --init-groups \
    --inh-caps=+net_bind_service --ambient-caps=+net_bind_service \
    env -i PATH=/usr/bin:/bin $environment $exec_start >"$work/log" 2>&1 &
server=$!
wait_for grep -q "Scanning for old jobs for printer lp" "$work/log" || fail "the service did not start"
[ "$(stat -c %U /proc/$server)" = spoolmere ] || fail "not running as spoolmere"

printed=/var/spool/spoolmere/printed.txt
echo "over IPv4" > "$work/v4.txt"
echo "over IPv6" > "$work/v6.txt"
rlpr -N -H 127.0.0.1 -P lp "$work/v4.txt" || fail "rlpr over IPv4"
DEVICE_URI='lpd://[::1]:515/lp?reserve=none' /usr/lib/cups/backend/lpd 1 root v6 1 '' \
    "$work/v6.txt" >/dev/null 2>&1 || fail "CUPS' lpd backend over IPv6"
wait_for grep -q "over IPv6" "$printed" || fail "the IPv6 job was not printed"
wait_for grep -q "over IPv4" "$printed" || fail "the IPv4 job was not printed"
grep -q "Remote .*::1 connected" "$work/log" || fail "no IPv6 peer in the log"

# Reload: another port and a second printer; then a broken file changes nothing.
ini=/etc/spoolmere/lpd.ini
cp "$ini" "$work/lpd.ini.orig"
printf 'PORT\r\n5516\r\n\r\nPRINTERS\r\nlp2 /usr/libexec/spoolmere/print-to-file %%p/%%d\r\n\r\n' >> "$ini"
kill -HUP "$server"
wait_for grep -q "Scanning for old jobs for printer lp2" "$work/log" || fail "no reload"
echo "after reload" > "$work/r.txt"
rlpr -N --port=5516 -H 127.0.0.1 -P lp2 "$work/r.txt" || fail "rlpr to the new port"
wait_for grep -q "after reload" "$printed" || fail "the job after the reload was not printed"
printf 'PORT\r\nnot-a-port\r\n\r\n' > "$ini"
kill -HUP "$server"
wait_for grep -q "ERROR: Reload of $ini failed" "$work/log" || fail "a broken file was applied"
rlpr -N --port=5516 -H 127.0.0.1 -P lp2 "$work/r.txt" || fail "the running settings were lost"
cp "$work/lpd.ini.orig" "$ini"

kill -TERM "$server"
wait "$server" || fail "the server did not end in order"
server=""
apt-get purge -y -qq spoolmere >/dev/null
echo "package test: passed"
