#!/bin/sh
# Builds the program and runs its whole test suite: the native Qt 5 build.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build"
(cd "$top/build" && ctest --output-on-failure --parallel "$(nproc)")
