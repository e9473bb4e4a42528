#!/bin/sh
# SPDX-License-Identifier: MIT
# What a release needs beyond passing tests, checked on the native tree the tests built: every
# source file carries its licence line, the manual pages say what --help says, the programs build
# on a machine without GoogleTest (and the configure output says why the tests are off), and the
# Debian package passes lintian without an error or a warning.
# Usage: scripts/check-release.sh [native build directory]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
tree=${1:-"$top/build"}
"$top/scripts/install-deps.sh" package

echo "-- Licence lines"
"$top/scripts/spdx.sh"
echo "-- Manual pages against --help"
"$top/scripts/man-pages.sh" --check "$tree"

echo "-- Programs without GoogleTest"
# CMAKE_DISABLE_FIND_PACKAGE_GTest makes find_package(GTest) fail as on a machine without it.
bare="$top/build-nogtest"
log="$bare/configure.log"
mkdir -p "$bare"
expect() { # log text
    grep -q "$2" "$1" || { echo "configure output lacks '$2':" >&2; cat "$1" >&2; exit 1; }
}
cmake -S "$top" -B "$bare" -DUPGRADE_WERROR=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DBUILD_TESTING=ON \
    >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
expect "$log" "The tests are off: GoogleTest was not found"
cmake --build "$bare" --parallel "$(nproc)" --target UpgradeDeploy UpgradeDescribe >/dev/null
[ ! -e "$bare/tests" ] || { echo "tests were configured without GoogleTest" >&2; exit 1; }
cmake -S "$top" -B "$bare" -DBUILD_TESTING=OFF >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
expect "$log" "The tests are off: BUILD_TESTING is OFF"
echo "The programs build without GoogleTest"

echo "-- Package"
"$top/scripts/check-package.sh" "$tree"
