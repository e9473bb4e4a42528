#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the program and its tests with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/ and runs the whole test suite: any report (a bad access, a leak, undefined
# behaviour) fails the test that caused it.
# Usage: scripts/test-sanitize.sh [ctest option]...
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build-asan" -DUPGRADE_SANITIZE=ON -DUPGRADE_HARDENING=OFF
cd "$top/build-asan"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_stack_use_after_return=1:strict_string_checks=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
    ctest --output-on-failure --parallel "$(nproc)" --timeout 600 "$@"
