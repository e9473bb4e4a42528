#!/bin/sh
# SPDX-License-Identifier: MIT
# Makes the Debian package of a build tree that is already built (cpack, into <tree>/package/) and
# has lintian check it: any error or warning fails, and so does missing hardening. Without lintian
# the package is still made, and the check says it was skipped (scripts/install-deps.sh package
# installs lintian).
# Usage: scripts/check-package.sh <build directory>
set -eu
tree=$(cd "${1:?usage: check-package.sh <build directory>}" && pwd)
rm -rf "$tree/package"
cpack --config "$tree/CPackConfig.cmake" -B "$tree/package" >/dev/null
rm -rf "$tree/package/_CPack_Packages"
deb=$(ls "$tree"/package/*.deb)
echo "Package: $deb"
if ! command -v lintian >/dev/null; then
    echo "lintian is not installed: the package was not checked"
    exit 0
fi
# --display-info shows the informational tags too (they do not fail the check). Lintian warns
# when it runs as root; that line is no finding about the package.
status=0
findings=$(lintian --fail-on error,warning --display-info "$deb" 2>&1) || status=$?
printf '%s\n' "$findings" | grep -v 'running with root privileges' || true
if [ $status -ne 0 ]; then
    echo "lintian found errors or warnings in $deb" >&2
    exit 1
fi
# Lintian tells missing hardening (no stack protector, no FORTIFY_SOURCE, no PIE, no BIND_NOW) only
# as information; the programs run as root on devices nobody can reach, so here it fails too.
if printf '%s\n' "$findings" | grep -q ' hardening-'; then
    echo "lintian found a program without hardening in $deb" >&2
    exit 1
fi
echo "lintian: no error, no warning, hardened"
