#!/bin/sh
# Builds the two Debian packages, spoolmere (the server) and spoolmere-desktop (the window),
# into build-package/ with the hardening flags of dpkg-buildflags (debian/rules). Run as
# root on Debian 12: it first installs what building them needs and nothing else, the
# compilers (build-essential) and the Build-Depends of debian/control; no server, no test
# tool. Then:
#   apt install ./build-package/spoolmere_*.deb            # the server alone
#   apt install ./build-package/spoolmere-desktop_*.deb    # and the window
set -eu
cd "$(dirname "$0")/.."
if ! dpkg-checkbuilddeps >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends build-essential dpkg-dev
    apt-get -o DPkg::Lock::Timeout=600 build-dep -y -qq --no-install-recommends ./
fi
out=${PACKAGE_DIR:-build-package}
version=$(dpkg-parsechangelog -S Version)
src="$out/spoolmere-$version"
echo "package: building spoolmere $version in $src (several minutes on a small machine)"
rm -rf "$src" "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo
mkdir -p "$src"
# dpkg-buildpackage writes the packages beside the source tree and its own files into it:
# building a copy keeps both out of the checkout.
tar -c --exclude-vcs --exclude='./build*' --exclude='./obj-*' --exclude='./examples/run' . |
    tar -x -C "$src"
# Objects of earlier builds are reused where ccache is installed.
[ -d /usr/lib/ccache ] && PATH=/usr/lib/ccache:$PATH
(cd "$src" && dpkg-buildpackage -b -us -uc -J)
ls "$out"/*.deb
