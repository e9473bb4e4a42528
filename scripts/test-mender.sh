#!/bin/sh
# SPDX-License-Identifier: MIT
# Drives the real Mender client (mender-client, mender-artifact) through the upgrade-deploy update
# module, with the client's configuration and data in a temporary directory: each scenario packs
# artifacts with scripts/make-mender-artifact.sh, runs `mender install`, `commit` or `rollback` on
# a home directory of its own and checks every file against what it must be. Before them, rows of
# hostile settings, meta-data and payloads run the module directly, as the client calls it.
# Prints the states the client called for each scenario, and "N passed, N failed" last.
#
# The client reads modules from one fixed path only: the run puts a wrapper there (and puts back
# whatever was there), creates /etc/mender/artifact_info when it is missing (and removes it), and
# holds a lock so that two runs never share them. The wrapper and the stand-in for UpgradeDeploy
# that holds an install at a known point are the test's own; the shipped module has no test hook.
# Usage: scripts/test-mender.sh [native build directory [scenario name pattern]]
# KEEP_WORK=1 keeps the temporary directory, with every client log, for a look afterwards.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
tree=${1:-"$top/build"}
only=${2:-}
[ "$(id -u)" -eq 0 ] || { echo "test-mender.sh installs the module for the client: run it as root" >&2 && exit 1; }
"$top/scripts/install-deps.sh" mender
[ -f "$tree/CMakeCache.txt" ] || cmake -S "$top" -B "$tree" -DUPGRADE_WERROR=ON >/dev/null
cmake --build "$tree" --parallel "$(nproc)" --target UpgradeDeploy UpgradeDescribe >/dev/null
tree=$(cd "$tree" && pwd)
faultfs=''
if cmake --build "$tree" --target faultfs >/dev/null 2>&1; then faultfs=$tree/tests/faultfs.so; fi
deploy=$tree/src/UpgradeDeploy
export UPGRADE_DESCRIBE="$tree/describe/UpgradeDescribe"
module=/usr/share/mender/modules/v3/upgrade-deploy
info=/etc/mender/artifact_info

exec 9>"${TMPDIR:-/tmp}/upgradedeploy-test-mender.lock"
flock -n 9 || { echo "another scripts/test-mender.sh is running" >&2 && exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/test-mender.XXXXXX")
work=$(realpath "$work")
made_info=0 key=''
cleanup() {
    if [ -e "$work/module.saved" ]; then mv -f "$work/module.saved" "$module"; else rm -f "$module"; fi
    [ $made_info -eq 0 ] || rm -f "$info"
    [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
mkdir -p "$(dirname "$module")" /etc/mender
[ ! -e "$module" ] || cp -p "$module" "$work/module.saved"
[ -e "$info" ] || { echo "artifact_name=factory" >"$info" && made_info=1; }

# The client calls this wrapper; it runs the module of this tree with the scenario's settings.
cat >"$module" <<EOF
#!/bin/sh
UPGRADEDEPLOY_MENDER_CONF='$work/mender.conf' exec '$top/mender/upgrade-deploy' "\$@"
EOF
chmod 0755 "$module"
# UpgradeDeploy as the module runs it. When the FIFO "hold" exists, it tells its pid on the FIFO
# "ready" and waits for a word on "hold": "whole" runs UpgradeDeploy to its end, any other word
# runs it killed by faultfs right after its fourth rename in the home directory (the power cut);
# then it tells the status on "ready". A test that failed before it reads or writes them leaves it
# waiting 150 s at the most.
cat >"$work/hook-deploy" <<EOF
#!/bin/sh
[ -p '$work/hold' ] || exec '$deploy' "\$@"
word=\$(timeout 150 sh -c "echo \$\$ >'$work/ready' && read -r word <'$work/hold' && echo \\\$word") ||
    exit 1
status=0
if [ "\$word" = whole ]; then
    '$deploy' "\$@" >'$work/hook.log' 2>&1 || status=\$?
elif [ -n '$faultfs' ]; then
    LD_PRELOAD='$faultfs' FAULTFS_DIRS="\$(cat '$work/home-now')" FAULTFS_CALLS=rename \\
        FAULTFS_AT=4 FAULTFS_ACTION=kill-after '$deploy' "\$@" >'$work/hook.log' 2>&1 || status=\$?
fi
timeout 150 sh -c "echo \$status >'$work/ready'"
EOF
chmod 0755 "$work/hook-deploy"

# ---- Trees as data: one line per file, "<mode> <path> <contents>"; every time 2026-01-02 03:04.
write_tree() { # directory, lines on the standard input
    while read -r mode path text; do
        mkdir -p "$1/$(dirname "$path")"
        printf '%s\n' "$text" >"$1/$path"
        chmod "$mode" "$1/$path"
        touch -d '2026-01-02 03:04:05' "$1/$path"
    done
}
v1='755 bin/app #!/bin/true 1
644 lib/libcore.so core 1
644 lib/libold.so old
644 share/app.conf conf 1'
v2='755 bin/app #!/bin/true 2
644 lib/libcore.so core 2
644 lib/plugins/codec/libcodec.so codec 2
644 share/app.conf conf 2'
conf_json='{ "upgrade": { "new-arrival": { "file-location": "upgrade/new",
  "file-desc": "upgrade/new/files.json" }, "deploy": { "restart": "bin/app" HEALTH } } }'

# A home directory at version 1 with a keeper that records how it was started.
make_home() { # directory [health setting]
    printf '%s\n' "$v1" | write_tree "$1"
    echo "$conf_json" | sed "s|HEALTH|${2:-}|" >"$1/conf.json"
    printf '#!/bin/sh\necho "started in $(pwd) with $*" >>keeper.log\n' >"$1/QuorvelKeeper"
    chmod 0755 "$1/QuorvelKeeper"
    touch -d '2026-01-02 03:04:05' "$1/conf.json" "$1/QuorvelKeeper"
}

# One line per path under a home directory, leaving out the new-arrival tree and the keeper's
# record: type, mode, and for a file its time and contents.
snapshot() { # home
    (cd "$1" && find . \( -path ./upgrade -o -name keeper.log \) -prune -o -print | LC_ALL=C sort |
        while IFS= read -r path; do
            if [ -L "$path" ]; then
                echo "link $path -> $(readlink "$path")"
            elif [ -f "$path" ]; then
                echo "file $(stat -c '%a %Y' "$path") $(sha256sum <"$path" | cut -c1-16) $path"
            else
                echo "$(stat -c '%F %a' "$path") $path"
            fi
        done)
}

# ---- Checks: each one ends the scenario with its reason.
fail() { echo "    $*" && exit 1; }
expect_status() { # want got what
    case $1 in
    0) [ "$2" -eq 0 ] || fail "$3: status $2, expected 0" ;;
    *) [ "$2" -ne 0 ] || fail "$3: status 0, expected a failure" ;;
    esac
}
# With "files", directories are left out: those an upgrade made stay after it is undone.
same_tree() { # home expected-snapshot-file what [files]
    snapshot "$1" >"$dir/now"
    if [ -n "${4:-}" ]; then
        grep -v '^directory' "$2" >"$dir/expected" || true
        grep -v '^directory' "$dir/now" >"$dir/got" || true
    else
        cp "$2" "$dir/expected" && cp "$dir/now" "$dir/got"
    fi
    diff "$dir/expected" "$dir/got" >"$dir/diff" || { sed 's/^/      /' "$dir/diff" && fail "$3"; }
}
called() { # state: the client's last command called the module with it
    grep -q "Calling module: [^ ]* $1 " "$dir/log.$calls" || fail "the client did not call $1"
}
# The keeper starts detached: its records are awaited, 60 s at the most, then counted.
restarted() { # home count
    timeout 60 sh -c "until [ \"\$(grep -c '^started' '$1/keeper.log' 2>/dev/null)\" -ge $2 ]; do
        sleep 0.05; done" || fail "the application was started less than $2 time(s)"
    got=$(grep -c '^started' "$1/keeper.log")
    [ "$got" -eq "$2" ] || fail "the application was started $got times, not $2"
}

said() { # text: the module's output in the client's last command's log
    grep -q "$1" "$dir/log.$calls" || fail "the log does not say '$1'"
}

# ---- The client, with its configuration and data under the scenario's directory.
client() { # command [artifact]: sets status
    calls=$((calls + 1))
    status=0
    mender --no-syslog --config "$dir/client.json" --fallback-config "$dir/none.json" \
        --data "$dir/data" --log-file "$dir/log.$calls" --log-level debug "$@" \
        >>"$dir/client.out" 2>&1 || status=$?
    printf '    %-8s %s\n' "$1:" "$(sed -n 's/.*Calling module: [^ ]* \([A-Za-z]*\) .*/\1/p' \
        "$dir/log.$calls" | tr '\n' ' ')(status $status)" >>"$dir/states"
}

# A scenario's directory: a home at version 1, the client's settings, the module's settings, the
# version-2 new-arrival directory and the expected trees.
setup() { # [health setting] [ArtifactVerifyKey]
    mkdir -p "$dir/data" "$dir/keys" "$dir/state"
    make_home "$dir/home" "${1:-}"
    realpath "$dir/home" >"$work/home-now"
    echo device_type=test-device >"$dir/device_type"
    verify=''
    [ -z "${2:-}" ] || verify=", \"ArtifactVerifyKey\": \"$2\""
    echo "{ \"DeviceTypeFile\": \"$dir/device_type\", \"ModuleTimeoutSeconds\": 120$verify }" \
        >"$dir/client.json"
    printf 'homedir=%s\nappname=bin/app\nkeys=%s\nstate=%s\nprogram=%s\n' \
        "$dir/home" "$dir/keys" "$dir/state" "$work/hook-deploy" >"$work/mender.conf"
    printf '%s\n' "$v2" | write_tree "$dir/v2"
    snapshot "$dir/home" >"$dir/old"
    calls=0
}

pack() { # artifact name, new-arrival dir, then options for make-mender-artifact.sh
    name=$1 source=$2
    shift 2
    "$top/scripts/make-mender-artifact.sh" -remove=lib/libold.so "-out=$dir/$name.mender" "$@" \
        "$source" "$name" test-device ${key:+"$key"} >/dev/null
}

# What a direct run of UpgradeDeploy makes of the same package on another version-1 home.
reference() {
    make_home "$dir/ref"
    mkdir -p "$dir/ref/upgrade"
    cp -R -p "$dir/v2" "$dir/ref/upgrade/new"
    "$UPGRADE_DESCRIBE" "$dir/ref/upgrade/new" -all-or-nothing -remove=lib/libold.so \
        -out="$dir/ref/upgrade/new/files.json"
    mkdir -p "$dir/ref-state"
    "$deploy" -homedir="$dir/ref" -appname=bin/app -keys="$dir/keys" -state="$dir/ref-state" \
        >"$dir/ref.log" 2>&1 || fail "the direct run failed: $(tail -n 3 "$dir/ref.log")"
    restarted "$dir/ref" 1
    snapshot "$dir/ref" >"$dir/new"
}

# ---- Scenarios
scenario_install_commit() {
    setup
    reference
    pack v2 "$dir/v2"
    client install "$dir/v2.mender" && expect_status 0 "$status" "install"
    client commit && expect_status 0 "$status" "commit"
    same_tree "$dir/home" "$dir/new" "the home differs from a direct run"
    restarted "$dir/home" 1
    sed "s|$dir/home|HOME|" "$dir/home/keeper.log" >"$dir/keeper.got"
    sed "s|$dir/ref|HOME|" "$dir/ref/keeper.log" | diff - "$dir/keeper.got" ||
        fail "the application was restarted otherwise than by a direct run"
}

scenario_meta_data_home() {
    setup
    sed -i "s|^homedir=.*|homedir=$dir/elsewhere|; s|^appname=.*|appname=bin/none|" "$work/mender.conf"
    echo "{ \"homedir\": \"$dir/home\", \"appname\": \"bin/app\" }" >"$dir/meta-data.json"
    pack v2 "$dir/v2" -meta-data="$dir/meta-data.json"
    client install "$dir/v2.mender" && expect_status 0 "$status" "install"
    client commit && expect_status 0 "$status" "commit"
    grep -q 'core 2' "$dir/home/lib/libcore.so" || fail "the package did not land in the meta-data's home"
    restarted "$dir/home" 1
    grep -q -- '-entrust=bin/app' "$dir/home/keeper.log" || fail "the meta-data's appname was not restarted"
}

scenario_wrong_checksum() {
    setup
    # UpgradeDescribe, then one byte changed in a described file.
    printf '#!/bin/sh\n"%s" "$@" && echo x >>"$1/lib/libcore.so"\n' "$UPGRADE_DESCRIBE" \
        >"$dir/describe-then-damage"
    chmod 0755 "$dir/describe-then-damage"
    UPGRADE_DESCRIBE=$dir/describe-then-damage pack v2 "$dir/v2"
    client install "$dir/v2.mender" && expect_status 1 "$status" "install"
    called ArtifactRollback && called ArtifactFailure && said "Error: sha256 of .* mismatch"
    same_tree "$dir/home" "$dir/old" "a file changed"
    [ ! -e "$dir/home/upgrade/new" ] || fail "the failed payload stayed in the new-arrival directory"
}

scenario_rollback() {
    setup
    pack v2 "$dir/v2"
    client install "$dir/v2.mender" && expect_status 0 "$status" "install"
    client rollback && expect_status 0 "$status" "rollback"
    same_tree "$dir/home" "$dir/old" "the old version is not back" files
}

# Starts an install, holds it in UpgradeDeploy, kills the client there, then lets UpgradeDeploy
# go on as the word says ("go": cut off by faultfs; "whole": to its end) and waits for it.
kill_client_in_install() { # word
    mkfifo "$work/hold" "$work/ready"
    mender --no-syslog --config "$dir/client.json" --fallback-config "$dir/none.json" \
        --data "$dir/data" --log-file "$dir/log.0" --log-level debug install "$dir/v2.mender" \
        >>"$dir/client.out" 2>&1 &
    client_pid=$!
    trap 'kill -9 $client_pid 2>/dev/null || true' EXIT
    hook=$(timeout 120 sh -c "read -r pid <'$work/ready' && echo \$pid") || fail "no install began"
    kill -9 "$client_pid"
    wait "$client_pid" || true
    trap - EXIT
    echo "$1" >"$work/hold"
    ended=$(timeout 120 sh -c "read -r status <'$work/ready' && echo \$status") ||
        fail "the held install (pid $hook) hung"
    rm -f "$work/hold" "$work/ready"
    printf '    %-8s %s\n' "install:" "$(sed -n 's/.*Calling module: [^ ]* \([A-Za-z]*\) .*/\1/p' \
        "$dir/log.0" | tr '\n' ' ')(killed)" >>"$dir/states"
}

scenario_kill_install() {
    setup
    reference
    pack v2 "$dir/v2"
    kill_client_in_install go
    [ -z "$faultfs" ] || [ "$ended" -eq 137 ] || fail "UpgradeDeploy was not cut off: status $ended"
    snapshot "$dir/home" >"$dir/cut"
    # Each path of either version as it was or as it will be; backups and a journal may be there.
    # The fourth rename in home (the store's manifest, the journal, two files) cuts the upgrade in
    # the middle: some paths must be new and some old.
    cut=$(awk 'FILENAME == ARGV[1] { old[$NF] = $0; next }
        FILENAME == ARGV[2] { new[$NF] = $0; next }
        { now[$NF] = $0 }
        function check(p) {
            if (now[p] == old[p] && now[p] != new[p]) olds++
            else if (now[p] == new[p] && now[p] != old[p]) news++
            else if (now[p] != old[p]) printf " %s", p
        }
        END { for (p in old) if (!(p in new)) check(p); for (p in new) check(p)
              printf "|%d|%d\n", olds, news }' "$dir/old" "$dir/new" "$dir/cut")
    [ "${cut%%|*}" = '' ] || fail "paths neither old nor new after the kill:${cut%%|*}"
    [ -z "$faultfs" ] || case $cut in *'|0|'* | *'|0')
        fail "the kill did not cut the upgrade in the middle ($cut)" ;;
    esac
    client install "$dir/v2.mender" && expect_status 0 "$status" "install again"
    client commit && expect_status 0 "$status" "commit"
    same_tree "$dir/home" "$dir/new" "the home differs from a direct run"
}

# The client dies after UpgradeDeploy has landed the upgrade but before it could record it.
scenario_kill_after_landing() {
    setup
    reference
    pack v2 "$dir/v2"
    kill_client_in_install whole
    [ "$ended" -eq 0 ] || fail "the held UpgradeDeploy failed: status $ended"
    client install "$dir/v2.mender" && expect_status 0 "$status" "install again"
    client commit && expect_status 0 "$status" "commit"
    same_tree "$dir/home" "$dir/new" "the home differs from a direct run"
}

scenario_signed_artifact() {
    openssl ecparam -name prime256v1 -genkey -noout -out "$dir/artifact.key" 2>/dev/null
    openssl ec -in "$dir/artifact.key" -pubout -out "$dir/artifact.pub" 2>/dev/null
    setup "" "$dir/artifact.pub"
    pack unsigned "$dir/v2"
    pack signed "$dir/v2" -artifact-key="$dir/artifact.key"
    client install "$dir/unsigned.mender" && expect_status 1 "$status" "unsigned install"
    ! grep -q "Calling module: [^ ]* ArtifactInstall " "$dir/log.1" ||
        fail "the client ran ArtifactInstall for an unsigned artifact"
    same_tree "$dir/home" "$dir/old" "an unsigned artifact changed a file"
    client install "$dir/signed.mender" && expect_status 0 "$status" "signed install"
    client commit && expect_status 0 "$status" "commit"
    grep -q 'core 2' "$dir/home/lib/libcore.so" || fail "the signed artifact did not land"
}

scenario_older_sequence() {
    setup
    minisign -G -W -p "$dir/keys/release.pub" -s "$dir/release.key" >/dev/null
    key=$dir/release.key
    pack v2 "$dir/v2" -sequence=5
    printf '%s\n' "$v1" | write_tree "$dir/v1"
    pack v1 "$dir/v1" -sequence=4
    key=''
    client install "$dir/v2.mender" && expect_status 0 "$status" "install of sequence 5"
    client commit && expect_status 0 "$status" "commit"
    snapshot "$dir/home" >"$dir/landed"
    client install "$dir/v1.mender" && expect_status 1 "$status" "install of sequence 4"
    called ArtifactInstall && said "sequence 4 is older than the installed 5"
    same_tree "$dir/home" "$dir/landed" "the older package changed a file"
}

scenario_unsigned_description() {
    setup
    minisign -G -W -p "$dir/keys/release.pub" -s "$dir/release.key" >/dev/null
    pack v2 "$dir/v2"
    client install "$dir/v2.mender" && expect_status 1 "$status" "install"
    called ArtifactInstall && said "Error: signature of .*files.json"
    same_tree "$dir/home" "$dir/old" "an unsigned description changed a file"
}

scenario_health_fails() {
    setup ', "health": "bin/health", "health-timeout": 20'
    printf '755 bin/health #!/bin/sh\n' | write_tree "$dir/v2"
    printf 'exit 3\n' >>"$dir/v2/bin/health"
    touch -d '2026-01-02 03:04:05' "$dir/v2/bin/health"
    pack v2 "$dir/v2"
    client install "$dir/v2.mender" && expect_status 1 "$status" "install"
    called ArtifactFailure && said "Error: health check failed"
    same_tree "$dir/home" "$dir/old" "the old version is not back" files
}

. "$top/scripts/test-mender-rows.sh"

passed=0 failed=0
run() { # name, description
    dir=$work/$1
    mkdir -p "$dir"
    set +e
    (set -e && "scenario_$(echo "$1" | tr - _)") >"$dir/result" 2>&1
    result=$?
    set -e
    if [ $result -eq 0 ]; then
        passed=$((passed + 1)) && echo "PASS $1: $2"
    else
        failed=$((failed + 1)) && echo "FAIL $1: $2"
        cat "$dir/result"
    fi
    [ ! -s "$dir/states" ] || cat "$dir/states"
}
while IFS='|' read -r name text; do
    # shellcheck disable=SC2254 # the pattern is a glob on purpose
    case $name in '' | ${only:-*}) ;; *) continue ;; esac
    [ -z "$name" ] || run "$name" "$text"
done <<EOF
module-rows|the module refuses hostile settings, meta-data and payloads, and repeats states safely
install-commit|an installed and committed artifact leaves the home as a direct run does
meta-data-home|the artifact's meta-data names the home directory and the program to restart
wrong-checksum|a payload with a wrong checksum fails, is rolled back and leaves every file as before
rollback|mender rollback after an install puts the old version back
kill-install|kill -9 of the client during ArtifactInstall leaves every path old or new; installing again lands it
kill-after-landing|kill -9 of the client once UpgradeDeploy has landed the upgrade; installing again keeps it
signed-artifact|with ArtifactVerifyKey the client refuses an unsigned artifact and installs a signed one
older-sequence|the module refuses a description with an older sequence that the client would install
unsigned-description|with a trusted key installed the module refuses a description without a signature
health-fails|a failing health check fails the deployment and the old version stays
EOF
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
