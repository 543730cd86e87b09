#!/bin/sh
# Unpacks LPRng's client programs (lpr, lpq, lprm) from Debian's package into DEST for the
# interoperability tests, once. Never installs the package: installing lprng removes CUPS.
set -eu
dest=${1:?usage: lprng-client.sh DEST}
[ -x "$dest/usr/bin/lpr" ] && exit 0
mkdir -p "$dest.download"
# The unpacking below happens inside the download folder: a relative DEST must not move.
case $dest in /*) ;; *) dest=$(pwd)/$dest ;; esac
cd "$dest.download"
if ! ls lprng_*.deb >/dev/null 2>&1; then
    apt-get download lprng 2>/dev/null || { apt-get update -qq && apt-get download lprng; }
fi
dpkg-deb -x "$(ls lprng_*.deb | head -1)" "$dest"
[ -x "$dest/usr/bin/lpr" ]
