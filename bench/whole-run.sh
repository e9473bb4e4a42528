#!/bin/sh
# SPDX-License-Identifier: MIT
# A whole run of the built UpgradeDeploy against bench/floor_run.c, in CPU time (user + system)
# per file, on trees generated alike: 100 files of 100 bytes per directory, two levels under data/,
# a described modification time per file; "fresh" into an empty home directory, "replacing" over
# installed files of the same paths. Each run gets a tree of its own, generated and synced before
# it; the floor and the program run in turn, and the ratio is taken pair by pair.
# Needs python3 (for wait4); the trees go under TMPDIR.
#
#   bench/whole-run.sh measure [SIZES] [RUNS] [UpgradeDeploy] [floor_run]
#       prints the table: medians of RUNS runs of each side (defaults 1000,10000 and 5)
#   bench/whole-run.sh prepare ROOT SIZE fresh|replacing
#       makes one tree under ROOT (for timing the runs with another tool)
#   bench/whole-run.sh run ROOT program|floor [UpgradeDeploy] [floor_run]
#       runs one side on the tree at ROOT (exec: the shell's start is all it adds)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=1704164645 # 2024-01-02 03:04:05 UTC

prepare() {
    root=$1
    rm -rf "$root"
    mkdir -p "$root/home" "$root/new"
    root=$(cd "$root" && pwd) # conf.json names the tree by an absolute path
    awk -v n="$2" -v installed="$3" -v root="$root" 'BEGIN {
        printf "{\"files-ex\":[\n" > (root "/desc.json")
        for (i = 0; i < n; i++) {
            dir = sprintf("data/d%02d/e%03d", int(i / 10000), int(i / 100) % 100)
            path = sprintf("%s/f%06d.dat", dir, i)
            if (i % 100 == 0) {
                system("mkdir -p " root "/new/" dir (installed == "replacing" ? " " root "/home/" dir : ""))
            }
            printf "%0100d", i > (root "/new/" path); close(root "/new/" path)
            if (installed == "replacing") {
                printf "%080d", i > (root "/home/" path); close(root "/home/" path)
            }
            print path > (root "/list")
            printf "{\"path\":\"%s\",\"modified-time\":\"2024-01-02 03:04:05\"}%s\n", path,
                (i + 1 < n ? "," : "") > (root "/desc.json")
        }
        print "]}" > (root "/desc.json")
    }'
    printf '{"upgrade":{"new-arrival":{"file-location":"%s/new","file-desc":"%s/desc.json"}}}\n' \
        "$root" "$root" >"$root/home/conf.json"
}

run() {
    if [ "$2" = floor ]; then
        exec "${4:-$top/build/bench/floor_run}" "$1/home" "$1/new" "$1/list" "$seconds"
    fi
    exec "${3:-$top/build/src/UpgradeDeploy}" "-homedir=$1/home" "-out=$1/log"
}

# Runs one side on the tree at $1 and prints its CPU seconds: user + system of the child, from
# wait4 (GNU time rounds to 10 ms, too coarse for a run of 1 000 files).
time_side() {
    if [ "$2" = floor ]; then
        set -- "$floor" "$1/home" "$1/new" "$1/list" "$seconds"
    else
        set -- "$program" "-homedir=$1/home" "-out=$1/log"
    fi
    python3 -c '
import os, sys
pid = os.fork()
if pid == 0:
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.execv(sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(pid, 0)
if status != 0:
    sys.exit("%s failed (status %d)" % (sys.argv[1], status))
print("%.6f" % (usage.ru_utime + usage.ru_stime))
' "$@"
}

# Prints the CPU seconds of one side on a fresh tree.
timed() {
    prepare "$work/tree" "$1" "$2"
    sync
    time_side "$work/tree" "$3"
}

median() { sort -n | sed -n "$(((runs + 1) / 2))p"; }

measure() {
    sizes=${1:-1000,10000}
    runs=${2:-5}
    program=${3:-$top/build/src/UpgradeDeploy}
    floor=${4:-$top/build/bench/floor_run}
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT INT TERM
    echo "| Run, files | Program CPU µs/file | Floor CPU µs/file | Ratio (median of pairs) |"
    echo "|---|---|---|---|"
    for mode in fresh replacing; do
        for size in $(echo "$sizes" | tr ',' ' '); do
            : >"$work/pairs"
            i=0
            while [ "$i" -lt "$runs" ]; do
                echo "$(timed "$size" "$mode" floor) $(timed "$size" "$mode" program)" >>"$work/pairs"
                i=$((i + 1))
            done
            awk -v s="$size" '{ print $2 * 1e6 / s }' "$work/pairs" | median >"$work/p"
            awk -v s="$size" '{ print $1 * 1e6 / s }' "$work/pairs" | median >"$work/f"
            awk '$1 > 0 { print $2 / $1 }' "$work/pairs" | median >"$work/r"
            printf '| %s, %s | %.1f | %.1f | %.2fx |\n' "$mode" "$size" "$(cat "$work/p")" \
                "$(cat "$work/f")" "$(cat "$work/r")"
        done
    done
}

command=${1:-measure}
[ $# -gt 0 ] && shift
case $command in
prepare) prepare "$@" ;;
run) run "$@" ;;
measure) measure "$@" ;;
*) echo "usage: $0 measure|prepare|run ..." >&2 && exit 2 ;;
esac
