#!/bin/sh
# Makes the Debian packages of the program in out/: one for this machine (Qt 5, from build-pkg/)
# and one for armhf (from the cross build tree build-armhf/).
# Usage: scripts/package.sh
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/apt-install.sh" cmake make g++ dpkg-dev qtbase5-dev \
    crossbuild-essential-armhf qemu-user qtbase5-dev-tools qtbase5-dev:armhf libgtest-dev:armhf \
    libgmock-dev:armhf
"$top/scripts/build.sh" "$top/build-pkg" -DUPGRADE_QT_MAJOR=5 -DUPGRADE_BUILD_TESTS=OFF
"$top/scripts/build.sh" "$top/build-armhf" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-armhf.cmake"
mkdir -p "$top/out"
for tree in build-pkg build-armhf; do
    cpack --config "$top/$tree/CPackConfig.cmake" -B "$top/out" >/dev/null
done
rm -rf "$top/out/_CPack_Packages"
ls "$top/out"/*.deb
