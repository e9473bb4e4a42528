#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the Debian packages named that are not installed yet. A name may carry an architecture
# (libfoo-dev:armhf); that architecture is then added to dpkg's foreign ones first. Each apt step is
# tried a second time when it fails (a mirror hiccup).
# Usage: scripts/apt-install.sh package[:arch]...
set -eu
missing=""
for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
native=$(dpkg --print-architecture)
for p in $missing; do
    case $p in
    *:*)
        arch=${p##*:}
        if [ "$arch" != "$native" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
            $sudo dpkg --add-architecture "$arch"
        fi
        ;;
    esac
done
retry() {
    "$@" || { echo "apt failed, trying once more: $*" >&2; sleep 10; "$@"; }
}
echo "Installing:$missing"
retry $sudo apt-get update -qq
# shellcheck disable=SC2086
retry $sudo env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends -o Dpkg::Use-Pty=0 $missing >/dev/null
