#!/bin/sh
# Builds the program and runs its whole test suite four times: natively against Qt 5, natively
# against Qt 6, cross-built for 32-bit ARM (armhf) under qemu-user, and with ASan + UBSan; then
# fuzzes the JSON codec for about a minute. Each leg installs what it needs first. Extra arguments
# go to every ctest run.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)

leg() {
    echo "== $1"
    start=$(date +%s)
    shift
    "$@"
    echo "== done in $(($(date +%s) - start)) s"
}

native() {
    "$top/scripts/install-deps.sh"
    "$top/scripts/build.sh" "$top/build"
    (cd "$top/build" && ctest --output-on-failure --parallel "$(nproc)" --timeout 600 "$@")
}

leg "Qt 5, native" native "$@"
leg "Qt 6, native" "$top/scripts/test-qt6.sh" "$@"
leg "Qt 5, armhf under qemu-user" "$top/scripts/test-armhf.sh" "$@"
leg "Qt 5, ASan + UBSan" "$top/scripts/test-sanitize.sh" "$@"
leg "Fuzzing the JSON codec" "$top/scripts/test-fuzz.sh"
