#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the program and its tests against Qt 6 in build-qt6/ and runs the whole test suite.
# Usage: scripts/test-qt6.sh [ctest option]...
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" qt6
"$top/scripts/build.sh" "$top/build-qt6" -DUPGRADE_QT_MAJOR=6
cd "$top/build-qt6"
ctest --output-on-failure --parallel "$(nproc)" --timeout 600 "$@"
