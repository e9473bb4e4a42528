#!/bin/sh
# SPDX-License-Identifier: MIT
# The cost of "all-or-nothing": the built UpgradeDeploy replaces N installed files, once with a
# plain description and once with an all-or-nothing one (journal, kept backups, commit), on trees
# generated alike. Prints the median wall and CPU (user + system) time of R runs of each, and the
# ratio all-or-nothing / plain.
# Needs GNU time (/usr/bin/time, Debian package "time"); the generated trees go under TMPDIR.
# Usage: bench/all-or-nothing.sh [UpgradeDeploy] [sizes, comma-separated] [runs]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-"$top/build/src/UpgradeDeploy"}
sizes=${2:-10000,40000}
runs=${3:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

# A home with N installed files in 100 directories, their new versions, conf.json and a
# description ($2: "true" for all-or-nothing).
make_tree() {
    rm -rf "$work/home"
    mkdir -p "$work/home/new"
    awk -v n="$1" -v all="$2" -v home="$work/home" 'BEGIN {
        for (d = 0; d < 100; d++) {
            system("mkdir -p " home "/d" d " " home "/new/d" d)
        }
        printf "{\"all-or-nothing\":%s,\"files\":[", all > home "/new/files.json"
        for (i = 0; i < n; i++) {
            path = "d" (i % 100) "/f" i
            print "old " i > (home "/" path); close(home "/" path)
            print "new " i > (home "/new/" path); close(home "/new/" path)
            printf "%s\"%s\"", (i ? "," : ""), path >> (home "/new/files.json")
        }
        print "]}" >> (home "/new/files.json")
    }'
    printf '{"upgrade":{"new-arrival":{"file-location":"new","file-desc":"new/files.json"}}}' \
        >"$work/home/conf.json"
}

# One run; prints "wall cpu" in seconds.
timed_run() {
    /usr/bin/time -f '%e %U %S' -o "$work/time" "$program" "-homedir=$work/home" >/dev/null
    awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' "$work/time"
}

# The median of R runs of a size and a mode; prints "wall cpu".
median_of() {
    : >"$work/samples"
    i=0
    while [ "$i" -lt "$runs" ]; do
        make_tree "$1" "$2"
        sync
        timed_run >>"$work/samples"
        i=$((i + 1))
    done
    wall=$(cut -d' ' -f1 "$work/samples" | sort -n | sed -n "$(((runs + 1) / 2))p")
    cpu=$(cut -d' ' -f2 "$work/samples" | sort -n | sed -n "$(((runs + 1) / 2))p")
    echo "$wall $cpu"
}

echo "| Files | Plain wall s | Plain CPU s | All-or-nothing wall s | All-or-nothing CPU s | Ratio wall | Ratio CPU |"
echo "|---|---|---|---|---|---|---|"
for size in $(echo "$sizes" | tr ',' ' '); do
    set -- $(median_of "$size" false) $(median_of "$size" true)
    echo "$size $1 $2 $3 $4" | awk '{ printf "| %d | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f |\n",
        $1, $2, $3, $4, $5, $4 / $2, $5 / $3 }'
done
