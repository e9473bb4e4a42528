#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds UpgradeDeploy and runs a real upgrade on a copy of the demo home directory, then shows
# the log, the files as the upgrade left them and what the demo keeper was started with.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build-demo" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$top/build-demo" --parallel "$(nproc)" --target UpgradeDeploy

work=$(mktemp -d "${TMPDIR:-/tmp}/upgrade-demo.XXXXXX")
cp -R "$top/demo/home" "$work/home"
home="$work/home"

echo "== Upgrading $home"
status=0
"$top/build-demo/src/UpgradeDeploy" -homedir="$home" -appname=QuorvelDemoSvc || status=$?
echo "== Exit status: $status"

# The keeper is started detached: give it a moment to write its record.
tries=0
while [ ! -s "$home/keeper.log" ] && [ $tries -lt 50 ]; do
    sleep 0.1
    tries=$((tries + 1))
done

echo "== Files after the upgrade (mode, modification time, path)"
(cd "$home" && find . -type f ! -name keeper.log | sort | while read -r f; do
    stat -c '%a %y %n' "$f" | sed 's/\.[0-9]* [+-][0-9]* / /'
done)
echo "== Keeper record"
cat "$home/keeper.log" 2>/dev/null || echo "(the keeper did not run)"
echo "== The demo home stays in $work"
exit "$status"
