#!/bin/sh
# SPDX-License-Identifier: MIT
# Cross-builds the program and its tests for 32-bit ARM (armhf) in build-armhf/ and runs the whole
# test suite there under qemu-user.
# Usage: scripts/test-armhf.sh [ctest option]...
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" armhf
"$top/scripts/build.sh" "$top/build-armhf" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-armhf.cmake"
cd "$top/build-armhf"
ctest --output-on-failure --parallel "$(nproc)" --timeout 600 "$@"
