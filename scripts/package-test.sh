#!/bin/sh
# The Debian packages as an administrator meets them (run as root on Debian 12): build
# spoolmere and spoolmere-desktop (scripts/package.sh), check them with lintian --pedantic
# and every binary with hardening-check, install the server alone and check that no GUI
# library came with it, verify the unit, then run the unit's ExecStart as the service user by
# hand (CI has no systemd as PID 1), with the unit's capability, on port 515 and the default
# lpd.ini. Jobs go in over IPv4 (rlpr) and IPv6 (CUPS' lpd backend); SIGHUP applies a port
# change and a new printer and keeps the running settings when the file is broken. Last the
# desktop package goes on top; both are purged at the end.
set -eu
cd "$(dirname "$0")/.."
out=${PACKAGE_DIR:-build-package}
work=$(mktemp -d)
server=""
installed=""
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null || true
    # A failed run leaves nothing installed either.
    [ -n "$installed" ] && apt-get purge -y -qq spoolmere-desktop spoolmere >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package test: $*" >&2; [ -f "$work/log" ] && cat "$work/log" >&2; exit 1; }
# Waits up to 20 s for a command to succeed.
wait_for() { i=0; until "$@" >/dev/null 2>&1; do i=$((i + 1)); [ $i -lt 200 ] || return 1; sleep 0.1; done; }

# It installs and purges the packages: never on a machine where they are in use.
for p in spoolmere spoolmere-desktop; do
    if dpkg-query -W -f='${Status}' $p 2>/dev/null | grep -q "install ok installed"; then
        echo "package test: skipped, $p is installed here (apt purge $p to run it)"
        exit 0
    fi
done
version=$(sed -n 's/^project(spoolmere VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$(dpkg-parsechangelog -S Version)" = "$version" ] ||
    fail "debian/changelog is not at the version of CMakeLists.txt ($version)"
sh scripts/package.sh >"$work/build.log" 2>&1 || { tail -50 "$work/build.log"; fail "the package build failed"; }
deb=$(ls "$out"/spoolmere_"$version"_*.deb)
desktop_deb=$(ls "$out"/spoolmere-desktop_"$version"_*.deb)

lintian --pedantic --fail-on error,warning,pedantic "$deb" "$desktop_deb" >"$work/lintian" 2>&1 ||
    fail "lintian: $(cat "$work/lintian")"
for d in "$deb" "$desktop_deb"; do
    rm -rf "$work/x" && dpkg-deb -x "$d" "$work/x"
    for f in $(find "$work/x" -type f -perm -u+x); do
        file -b "$f" | grep -q '^ELF' || continue
        # Without --nocfprotection no program linked on Debian 12 passes: its C library start
        # files carry no CET marking (debian/rules).
        hardening-check --nocfprotection "$f" >"$work/hardening" ||
            fail "hardening-check: $(cat "$work/hardening")"
    done
done
# The server links no GUI library, and the desktop package holds the window's program.
rm -rf "$work/x" && dpkg-deb -x "$deb" "$work/x"
readelf -d "$work/x/usr/bin/spoolmere" | grep NEEDED >"$work/needed"
grep -q libQt6Core "$work/needed" || fail "spoolmere does not link Qt Core"
! grep -E 'libQt6(Gui|Widgets)|libX|libxcb|libwayland|libGL' "$work/needed" ||
    fail "spoolmere links a GUI library"

dpkg-deb -c "$deb" | awk '{print $6}' > "$work/files"
for f in ./usr/bin/spoolmere ./usr/bin/spoolmere-supervise ./etc/spoolmere/lpd.ini \
    ./lib/systemd/system/spoolmere.service ./usr/lib/sysusers.d/spoolmere.conf \
    ./usr/lib/tmpfiles.d/spoolmere.conf ./usr/libexec/spoolmere/print-to-file \
    ./etc/logrotate.d/spoolmere ./usr/share/doc/spoolmere/copyright \
    ./usr/share/man/man8/spoolmere.8.gz ./usr/share/man/man5/lpd.ini.5.gz \
    ./usr/share/man/man8/spoolmere-supervise.8.gz; do
    grep -qx "$f" "$work/files" || fail "$f is not in spoolmere"
done
dpkg-deb -c "$desktop_deb" | awk '{print $6}' > "$work/desktop-files"
for f in ./usr/bin/spoolmere-desktop ./usr/share/applications/spoolmere.desktop \
    ./usr/share/icons/hicolor/scalable/apps/spoolmere.svg \
    ./usr/share/icons/hicolor/48x48/apps/spoolmere.png \
    ./usr/share/man/man1/spoolmere-desktop.1.gz; do
    grep -qx "$f" "$work/desktop-files" || fail "$f is not in spoolmere-desktop"
done
grep -q spoolmere-desktop "$work/files" && fail "spoolmere holds a file of the desktop"
dpkg-deb -I "$deb" conffiles | grep -qx /etc/spoolmere/lpd.ini || fail "lpd.ini is not a conffile"
dpkg-deb -f "$desktop_deb" Depends | grep -q "spoolmere (= $version)" ||
    fail "spoolmere-desktop does not depend on this spoolmere"

installed=1
apt-get install -y -qq "./$deb" >/dev/null
# What the server package pulls in, the whole closure of its dependencies: nothing that
# draws on a screen.
apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances spoolmere | grep -v '^ ' | sort -u >"$work/closure"
grep -qx libqt6core6 "$work/closure" || fail "the dependency closure misses libqt6core6"
gui=$(grep -E '^(libqt6(gui|widgets)|libx11|libxcb|libwayland|libgl1|libegl|libgtk|libfontconfig|libxkbcommon)' "$work/closure" || true)
[ -z "$gui" ] || fail "installing spoolmere pulls in GUI libraries: $gui"
id -nG spoolmere | grep -qw lp || fail "the service user is not in the group lp"
[ "$(stat -c %U /var/spool/spoolmere)" = spoolmere ] || fail "the spool does not belong to spoolmere"
unit=/lib/systemd/system/spoolmere.service
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

# The window's package on top: its program starts, its entry is valid.
apt-get install -y -qq "./$desktop_deb" >/dev/null
desktop-file-validate /usr/share/applications/spoolmere.desktop || fail "desktop entry"
[ "$(spoolmere-desktop --version)" = "$(spoolmere --version)" ] || fail "spoolmere-desktop does not run"
apt-get purge -y -qq spoolmere-desktop spoolmere >/dev/null
echo "package test: passed"
