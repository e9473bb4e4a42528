#!/bin/sh
# SPDX-License-Identifier: MIT
# Configures and builds the native (host) tree in build/ unless another directory is given.
# Usage: scripts/build.sh [build directory] [cmake option]...
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-"$top/build"}
[ $# -gt 0 ] && shift
cmake -S "$top" -B "$dir" -DUPGRADE_WERROR=ON "$@" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
