#!/bin/sh
# SPDX-License-Identifier: MIT
# Cross-builds the program and its tests for 64-bit ARM (arm64) in build-arm64/. Its tests run with
# ctest in that directory, under qemu-aarch64.
# Usage: scripts/build-arm64.sh [cmake option]...
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" arm64
"$top/scripts/build.sh" "$top/build-arm64" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-arm64.cmake" "$@"
