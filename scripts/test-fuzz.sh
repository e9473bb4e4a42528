#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets of the JSON codec and the signature parser with clang (ASan +
# UBSan) in build-fuzz/ and runs each one, starting from its seed corpus in fuzz/. The inputs it
# finds go to a scratch directory, not into the repository; an input that fails is saved in
# build-fuzz/.
#
# Without an argument (the test command's leg) the run is the same every time: each target
# replays the whole corpus and then tries a fixed number of inputs from a fixed seed, so a
# failure is a fault of the code, found again by the next run, never a roll of the dice.
# With an argument, each target fuzzes from a random seed for that many seconds, to look for new
# faults; add what it finds to fuzz/corpus/ once it is mended.
# Usage: scripts/test-fuzz.sh [seconds per target]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
# One line per target: its name, its dictionary of tokens and its seed corpus, both in fuzz/.
targets="fuzz_json_read json.dict corpus
fuzz_json_roundtrip json.dict corpus
fuzz_signature signature.dict corpus-signature"
seed=1
runs=500000

if [ $# -gt 0 ]; then
    budget="-max_total_time=$1"
    echo "random fuzzing, $1 s per target"
else
    budget="-seed=$seed -runs=$runs"
    echo "replaying the seed corpora and $runs inputs from seed $seed per target"
fi

"$top/scripts/install-deps.sh" clang
cmake -S "$top" -B "$top/build-fuzz" -DCMAKE_CXX_COMPILER=clang++ -DUPGRADE_WERROR=ON \
    -DUPGRADE_FUZZ=ON -DUPGRADE_HARDENING=OFF -DBUILD_TESTING=OFF >/dev/null
# shellcheck disable=SC2046 # one word per target name
cmake --build "$top/build-fuzz" --parallel "$(nproc)" --target $(echo "$targets" | cut -d' ' -f1)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
echo "$targets" | while read -r target dictionary corpus; do
    echo "fuzzing $target"
    mkdir "$scratch/$target"
    log="$top/build-fuzz/$target.log"
    # shellcheck disable=SC2086 # $budget is one or two options
    if ! "$top/build-fuzz/fuzz/$target" $budget -timeout=60 -rss_limit_mb=2048 \
        -max_len=16384 -dict="$top/fuzz/$dictionary" -artifact_prefix="$top/build-fuzz/$target-" \
        -print_final_stats=1 "$scratch/$target" "$top/fuzz/$corpus" >"$log" 2>&1; then
        grep -av '^#[0-9]' "$log" | tail -n 60
        exit 1
    fi
    grep -a -e '^Done' -e '^stat::peak' "$log"
done
