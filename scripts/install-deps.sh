#!/bin/sh
# SPDX-License-Identifier: MIT
# The one list of what the builds need from Debian, by build: installs the packages of the builds
# named that are not installed yet (through scripts/apt-install.sh). Any other argument is taken
# as one more Debian package.
#   native    the native Qt 5 build and its tests (the default when no build is named)
#   qt6       the native Qt 6 build and its tests
#   armhf     the cross build for 32-bit ARM and its tests under qemu-user
#   arm64     the same for 64-bit ARM
#   package   what packaging and its checks need on top of a build (dpkg-deb, lintian)
#   mender    the Mender client and artifact tool that scripts/test-mender.sh drives, and the
#             signing tools its scenarios use (on top of the native build)
# Usage: scripts/install-deps.sh [build|Debian package]...
set -eu
common="cmake make g++"
# minisign makes the keys and signatures the signature tests check against (a host program, so a
# cross build's tests run it natively).
tests="libgtest-dev libgmock-dev minisign"
packages=""
builds=0
for argument in "$@"; do
    case $argument in
    native) packages="$packages $common qtbase5-dev libssl-dev $tests" builds=1 ;;
    qt6) packages="$packages $common qt6-base-dev libssl-dev $tests" builds=1 ;;
    armhf | arm64)
        # The cross compiler and the target's Qt 5 and GoogleTest; moc comes from the build
        # machine (qtbase5-dev-tools), and gcc builds the qemu wrapper there.
        packages="$packages $common gcc libc6-dev crossbuild-essential-$argument qemu-user"
        packages="$packages qtbase5-dev-tools qtbase5-dev:$argument libssl-dev:$argument"
        packages="$packages libgtest-dev:$argument libgmock-dev:$argument minisign"
        builds=1
        ;;
    package) packages="$packages dpkg-dev lintian" builds=1 ;;
    mender)
        packages="$packages $common qtbase5-dev mender-client mender-artifact minisign openssl"
        packages="$packages tar util-linux"
        builds=1
        ;;
    *) packages="$packages $argument" ;;
    esac
done
[ $builds -eq 1 ] || packages="$common qtbase5-dev libssl-dev $tests$packages"
# shellcheck disable=SC2086
exec "$(dirname "$0")/apt-install.sh" $packages
