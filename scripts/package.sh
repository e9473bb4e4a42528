#!/bin/sh
# SPDX-License-Identifier: MIT
# Makes the Debian packages of the program in out/: one for this machine (Qt 5, from build/) and
# one for armhf (from the cross build tree build-armhf/), the trees the test legs build, and
# checks each with lintian. The maintainer field comes from -DUPGRADE_PACKAGE_MAINTAINER=; give it
# as an argument here ('-DUPGRADE_PACKAGE_MAINTAINER=Name <address>') to set it in both trees.
# Usage: scripts/package.sh [cmake option]...
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" native armhf package
"$top/scripts/build.sh" "$top/build" -DUPGRADE_QT_MAJOR=5 "$@"
"$top/scripts/build.sh" "$top/build-armhf" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-armhf.cmake" "$@"
mkdir -p "$top/out"
for tree in build build-armhf; do
    "$top/scripts/check-package.sh" "$top/$tree"
    cp "$top/$tree"/package/*.deb "$top/out/"
done
ls "$top/out"/*.deb
