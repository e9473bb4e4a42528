#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets of the codec and the signature parser with clang (ASan + UBSan) in
# build-fuzz/ and runs each one for a bounded time, starting from its seed corpus (fuzz/corpus/ for
# the codec, fuzz/corpus-signature/ for the signatures). The inputs it finds go to a
# scratch directory, not into the repository; an input that fails is saved in build-fuzz/.
# Usage: scripts/test-fuzz.sh [seconds per target, default 30]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
"$top/scripts/install-deps.sh" clang
cmake -S "$top" -B "$top/build-fuzz" -DCMAKE_CXX_COMPILER=clang++ -DUPGRADE_WERROR=ON \
    -DUPGRADE_FUZZ=ON -DUPGRADE_HARDENING=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build "$top/build-fuzz" --parallel "$(nproc)" --target fuzz_json_read fuzz_json_roundtrip \
    fuzz_signature
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for target in fuzz_json_read fuzz_json_roundtrip fuzz_signature; do
    echo "fuzzing $target for $seconds s"
    seeds=corpus dict=json.dict
    [ $target = fuzz_signature ] && seeds=corpus-signature dict=signature.dict
    mkdir "$scratch/$target"
    log="$top/build-fuzz/$target.log"
    if ! "$top/build-fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=16384 -dict="$top/fuzz/$dict" -artifact_prefix="$top/build-fuzz/$target-" \
        -print_final_stats=1 "$scratch/$target" "$top/fuzz/$seeds" >"$log" 2>&1; then
        grep -av '^#[0-9]' "$log" | tail -n 60
        exit 1
    fi
    grep -a -e '^Done' -e '^stat::peak' "$log"
done
