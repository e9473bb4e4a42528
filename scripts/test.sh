#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the program and runs its whole test suite three times: natively against Qt 5, natively
# against Qt 6, and cross-built for 32-bit ARM (armhf) under qemu-user. After the native leg it
# checks what a release needs (licence lines, manual pages, a build without GoogleTest, the
# package under lintian) and drives the Mender client through the update module
# (scripts/test-mender.sh), after the armhf leg the armhf package. Then it runs the whole suite
# once more under ASan + UBSan and fuzzes the JSON codec and the signature parser from a fixed
# seed (the same inputs every run). Each leg installs what it needs first. Extra arguments go to
# every ctest run.
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
    "$top/scripts/install-deps.sh" native
    "$top/scripts/build.sh" "$top/build"
    (cd "$top/build" && ctest --output-on-failure --parallel "$(nproc)" --timeout 600 "$@")
}

leg "Qt 5, native" native "$@"
leg "Release checks, native package" "$top/scripts/check-release.sh" "$top/build"
leg "Mender client, native" "$top/scripts/test-mender.sh" "$top/build"
leg "Qt 6, native" "$top/scripts/test-qt6.sh" "$@"
leg "Qt 5, armhf under qemu-user" "$top/scripts/test-armhf.sh" "$@"
leg "armhf package" "$top/scripts/check-package.sh" "$top/build-armhf"
leg "Qt 5, ASan + UBSan" "$top/scripts/test-sanitize.sh" "$@"
leg "Fuzzing the JSON codec and the signature parser, fixed seed" "$top/scripts/test-fuzz.sh"
