# SPDX-License-Identifier: MIT
# shellcheck shell=sh disable=SC2154 # top, work and dir are the sourcing script's
# Rows of scripts/test-mender.sh (sourced there): the upgrade-deploy module run directly, as the
# client calls it, with a recorder in place of UpgradeDeploy. The settings rows give configuration
# lines (";" between them) and meta-data, and the arguments UpgradeDeploy must get, or "refused".
# The install rows give the payload's members ("f" file, "x" set-user-ID executable, "p" FIFO,
# "l" link to /etc/passwd; a name may be "../x" or absolute), conf.json's file-location, the
# new-arrival directory found in place ("-", "link" out of home, "same" description, "journal"
# of a cut-off run) and the outcome.

settings_rows() {
    cat <<'EOF'
the configuration's settings reach UpgradeDeploy|appname=bin/app;keys=/etc/k;state=/var/s||-homedir=HOME -commit -appname=bin/app -keys=/etc/k -state=/var/s
meta-data sets the home directory and the programs|appname=bin/app|{"homedir": "/srv/b", "appname": "bin/b,bin/c"}|-homedir=/srv/b -commit -appname=bin/b,bin/c
meta-data cannot set the keys or the state|keys=/etc/k|{"keys": "/tmp/mine", "state": "/tmp/s"}|-homedir=HOME -commit -keys=/etc/k
a nested or slashed key does not pose as homedir||{"x": {"homedir": "/etc"}, "homedir/": "/etc"}|-homedir=HOME -commit
a homedir with a .. component is refused||{"homedir": "/srv/../etc"}|refused
a homedir with shell syntax is refused||{"homedir": "/srv/$(reboot)"}|refused
a relative homedir is refused||{"homedir": "srv"}|refused
a homedir given twice is refused||{"homedir": "/a", "homedir": "/b"}|refused
an appname that is no text is refused||{"appname": ["bin/app"]}|refused
an escaped newline is refused||{"appname": "bin/app\nx"}|refused
an unterminated document is refused||{"homedir": "/a"|refused
text after the document is refused||{} {}|refused
an unknown configuration key is refused|user=root||refused
a configuration line without = is refused|homedir||refused
a relative program is refused|program=UpgradeDeploy||refused
a configuration value with a blank is refused|keys=/etc/my keys||refused
EOF
}

install_rows() {
    cat <<'EOF'
a plain payload lands whole and UpgradeDeploy runs with -no-commit|f files.json;f bin/app;f lib/a.so|upgrade/new|-|landed
a set-user-ID bit in the payload is dropped|f files.json;x bin/app|upgrade/new|-|landed nosuid
a link in the new-arrival place is replaced, not followed|f files.json|upgrade/new|link|landed
the payload of a cut-off run with the same description is kept as it was left|f files.json;f bin/app|upgrade/new|same|landed kept
the journal of a cut-off run goes along with a new payload|f files.json;f bin/app|upgrade/new|journal|landed journal
a symbolic link in the payload is refused|f files.json;l evil|upgrade/new|-|refused
a FIFO in the payload is refused|f files.json;p fifo|upgrade/new|-|refused
a member named ../ is refused|f files.json;f ../escape|upgrade/new|-|refused
an absolute member is refused|f files.json;f ABS|upgrade/new|-|refused
a payload without its description is refused|f bin/app|upgrade/new|-|refused
a new-arrival directory whose parent links out of home is refused|f files.json|out/new|-|refused
a new-arrival directory with .. in conf.json is refused|f files.json|upgrade/../../new|-|refused
EOF
}

# The module on the row's tree and settings: sets status; the output goes to $row/out.
call_module() { # state
    status=0
    UPGRADEDEPLOY_MENDER_CONF=$row/mender.conf UPGRADE_TEST_RECORD=$row/recorded \
        "$top/mender/upgrade-deploy" "$1" "$row/tree" >"$row/out" 2>&1 || status=$?
}

new_row() { # number
    row=$dir/$1
    mkdir -p "$row/tree/header" "$row/tree/files" "$row/home/upgrade" "$row/outside" "$row/src"
    printf 'homedir=%s\nprogram=%s\n' "$row/home" "$work/recorder" >"$row/mender.conf"
}

settings_row() { # name conf meta expected
    printf '%s\n' "$2" | tr ';' '\n' >>"$row/mender.conf"
    [ -z "$3" ] || printf '%s\n' "$3" >"$row/tree/header/meta-data"
    call_module ArtifactCommit
    if [ "$4" = refused ]; then
        [ $status -ne 0 ] && [ ! -e "$row/recorded" ] || echo "$1: not refused"
    else
        got=$(tr '\n' ' ' <"$row/recorded" 2>/dev/null || cat "$row/out")
        [ "$got" = "$(echo "$4" | sed "s|HOME|$row/home|g") " ] || echo "$1: got '$got'"
    fi
}

# The payload tar from a member list, and what the new-arrival place holds before the install.
make_payload() { # members location found
    printf '{ "upgrade": { "new-arrival": { "file-location": "%s", "file-desc": "%s/files.json" } } }\n' \
        "$2" "$2" >"$row/home/conf.json"
    names=''
    for member in $(echo "$1" | tr '; ' '\n:'); do
        kind=${member%%:*} name=${member#*:}
        [ "$name" != ABS ] || name=$row/abs
        path=$row/src/$name
        case $name in /*) path=$name ;; esac
        mkdir -p "$(dirname "$path")"
        case $kind in
        f) echo "$name" >"$path" ;;
        x) echo "$name" >"$path" && chmod 4755 "$path" ;;
        p) mkfifo "$path" ;;
        l) ln -s /etc/passwd "$path" ;;
        esac
        names="$names $name"
    done
    # shellcheck disable=SC2086 # the names have no blanks
    (cd "$row/src" && tar -cPf "$row/tree/files/payload.tar" $names)
    target=$row/home/upgrade/new
    case $3 in
    link) ln -s "$row/outside" "$target" ;;
    same | journal)
        mkdir "$target" && echo marker >"$target/left-by-the-cut" && echo '[]' >"$target/files.json.journal"
        if [ "$3" = same ]; then cp "$row/src/files.json" "$target/"; else echo old >"$target/files.json"; fi
        ;;
    esac
    [ "$2" != out/new ] || ln -s "$row/outside" "$row/home/out"
}

install_row() { # name members location found outcome
    make_payload "$2" "$3" "$4"
    call_module ArtifactInstall
    target=$row/home/upgrade/new
    [ -z "$(ls -A "$row/outside")" ] || echo "$1: wrote outside the home directory"
    [ -z "$(find "$row/home/upgrade" -name '.upgrade-deploy-mender.*')" ] || echo "$1: staging left"
    case $5 in
    refused)
        [ $status -ne 0 ] || echo "$1: not refused"
        [ ! -e "$row/recorded" ] || echo "$1: UpgradeDeploy ran"
        return
        ;;
    esac
    [ $status -eq 0 ] || { echo "$1: failed: $(cat "$row/out")" && return; }
    [ "$(tr '\n' ' ' <"$row/recorded")" = "-homedir=$row/home -no-commit " ] ||
        echo "$1: UpgradeDeploy got $(cat "$row/recorded")"
    [ -d "$target" ] && [ ! -L "$target" ] || echo "$1: no new-arrival directory"
    case $5 in *kept*) ;; *)
        for name in $(echo "$2" | tr ';' '\n' | cut -c3-); do
            cmp -s "$row/src/$name" "$target/$name" || echo "$1: '$name' did not land"
        done
        ;;
    esac
    case $5 in
    *nosuid*) [ "$(stat -c %a "$target/bin/app")" = 755 ] || echo "$1: mode $(stat -c %a "$target/bin/app")" ;;
    *kept*) [ -e "$target/left-by-the-cut" ] || echo "$1: the cut-off run's directory was replaced" ;;
    *journal*)
        [ -e "$target/files.json.journal" ] || echo "$1: the journal was lost"
        [ ! -e "$target/left-by-the-cut" ] || echo "$1: the old payload stayed"
        ;;
    esac
}

# The states that need no package, and the failure path run twice.
states_rows() {
    cat <<'EOF'
SupportsRollback|Yes
NeedsArtifactReboot|No
Download|
ArtifactVerifyReboot|
SomeFutureState|
EOF
}

scenario_module_rows() {
    printf '#!/bin/sh\nprintf "%%s\\n" "$@" >"$UPGRADE_TEST_RECORD"\n' >"$work/recorder"
    chmod 0755 "$work/recorder"
    n=0
    report=$dir/report
    : >"$report"
    while IFS='|' read -r name conf meta expected; do
        n=$((n + 1)) && new_row $n && settings_row "$name" "$conf" "$meta" "$expected" >>"$report"
    done <<EOF
$(settings_rows)
EOF
    while IFS='|' read -r name members location found outcome; do
        n=$((n + 1)) && new_row $n && install_row "$name" "$members" "$location" "$found" "$outcome" >>"$report"
    done <<EOF
$(install_rows)
EOF
    while IFS='|' read -r state printed; do
        n=$((n + 1)) && new_row $n && call_module "$state"
        [ $status -eq 0 ] && [ "$(cat "$row/out")" = "$printed" ] ||
            echo "$state: status $status, printed '$(cat "$row/out")'" >>"$report"
    done <<EOF
$(states_rows)
EOF
    # A failed deployment: its payload leaves the new-arrival directory, and so on the repeat.
    n=$((n + 1)) && new_row $n && make_payload "f files.json" upgrade/new -
    call_module ArtifactInstall && call_module ArtifactFailure && call_module ArtifactFailure
    [ $status -eq 0 ] && [ ! -e "$row/home/upgrade/new" ] || echo "ArtifactFailure left the payload" >>"$report"
    rows=$((n))
    [ ! -s "$report" ] || { sed 's/^/    /' "$report" && fail "$(wc -l <"$report") of $rows rows failed"; }
    echo "    $rows rows" >>"$dir/states"
}
