#!/bin/sh
# SPDX-License-Identifier: MIT
# Packs a new-arrival directory into a Mender artifact for the upgrade-deploy update module: a copy
# of the directory gets its file description from UpgradeDescribe (all or nothing, a checksum for
# every file; signed with -sign= when a minisign secret key is given), is packed as payload.tar and
# handed to mender-artifact as a module-image of type upgrade-deploy.
#
# Usage: scripts/make-mender-artifact.sh [option]... <new-arrival dir> <artifact name> \
#            <device type> [<minisign secret key>]
# Options, before the arguments:
#   -description=<path>  the description's path inside the new-arrival directory, as conf.json's
#                        "file-desc" names it on the device (default files.json)
#   -sequence=<n>        the description's sequence (UpgradeDescribe -sequence=)
#   -remove=<path>       a file the upgrade removes (UpgradeDescribe -remove=), may be repeated
#   -meta-data=<file>    the artifact's meta-data: a JSON object whose "homedir" and "appname"
#                        override the module's configuration on the device
#   -artifact-key=<pem>  sign the artifact itself (mender-artifact -k: RSA or ECDSA P-256), which
#                        the client checks against its ArtifactVerifyKey
#   -out=<file>          the artifact to write (default <artifact name>.mender)
# UPGRADE_DESCRIBE names the UpgradeDescribe to run (default: the one on the PATH).
set -eu
usage="usage: make-mender-artifact.sh [option]... <new-arrival dir> <artifact name> <device type> [<signing key>]"
describe=${UPGRADE_DESCRIBE:-UpgradeDescribe}
description=files.json
out=''
set_describe='' # the options for UpgradeDescribe, one per line
meta='' artifact_key=''
while [ $# -gt 0 ]; do
    case $1 in
    -description=*) description=${1#*=} ;;
    -sequence=* | -remove=*) set_describe="$set_describe$1
" ;;
    -meta-data=*) meta=${1#*=} ;;
    -artifact-key=*) artifact_key=${1#*=} ;;
    -out=*) out=${1#*=} ;;
    -*) echo "make-mender-artifact.sh: unknown option '$1'" >&2 && exit 1 ;;
    *) break ;;
    esac
    shift
done
[ $# -eq 3 ] || [ $# -eq 4 ] || { echo "$usage" >&2 && exit 1; }
source=$1 name=$2 device=$3 key=${4:-}
[ -d "$source" ] || { echo "make-mender-artifact.sh: '$source' is not a directory" >&2 && exit 1; }
case $description in '' | /* | *..*) echo "make-mender-artifact.sh: bad -description=" >&2 && exit 1 ;; esac
out=${out:-$name.mender}

work=$(mktemp -d "${TMPDIR:-/tmp}/mender-artifact.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/new"
cp -R -p "$source/." "$work/new/"
# A description, signature or journal left in the source is no file of the package.
rm -f "$work/new/$description" "$work/new/$description.minisig" "$work/new/$description.journal"
mkdir -p "$(dirname "$work/new/$description")"

set -- "$work/new" -all-or-nothing "-out=$work/new/$description"
[ -z "$key" ] || set -- "$@" "-sign=$key"
while IFS= read -r option; do
    [ -z "$option" ] || set -- "$@" "$option"
done <<EOF
$set_describe
EOF
"$describe" "$@"

# Names sorted, owner root and modes as they are, so that the same directory packs the same.
tar -C "$work/new" --sort=name --owner=0 --group=0 --numeric-owner -cf "$work/payload.tar" .
set -- -T upgrade-deploy -t "$device" -n "$name" -f "$work/payload.tar" -o "$out"
[ -z "$meta" ] || set -- "$@" -m "$meta"
[ -z "$artifact_key" ] || set -- "$@" -k "$artifact_key"
mender-artifact write module-image "$@" >/dev/null
echo "$out"
