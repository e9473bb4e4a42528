#!/bin/sh
# Installs what the native Qt 5 build and its tests need, when it is missing.
# Usage: scripts/install-deps.sh [extra Debian package]...
set -eu
packages="cmake g++ make qtbase5-dev libgtest-dev libgmock-dev $*"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
