#!/bin/sh
# Installs what building, running and testing need on Debian 12 (run as root).
# debhelper, lintian and devscripts (hardening-check) build and check the Debian packages.
# Never installs lprng or lpr: they remove CUPS, which the tests use.
set -eu
PACKAGES="build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6network6
  libcups2-dev libsmbclient-dev libgtest-dev libgmock-dev
  cups cups-client samba smbclient rlpr socat netcat-openbsd bc strace xvfb xauth python3
  clang libclang-rt-14-dev
  openbox trayer xdotool x11-utils
  libsystemd-dev scdoc systemd dpkg-dev file desktop-file-utils
  debhelper fakeroot lintian devscripts"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    echo "install-deps: installing$missing"
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing
fi
