#!/bin/sh
# Installs what the native Qt 5 build and its tests need, when it is missing.
# Usage: scripts/install-deps.sh [extra Debian package]...
set -eu
exec "$(dirname "$0")/apt-install.sh" cmake g++ make qtbase5-dev libgtest-dev libgmock-dev "$@"
