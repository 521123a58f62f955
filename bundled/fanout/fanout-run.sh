#!/bin/bash
# fanout-run.sh: the segment-parallel route's runner under the name the engine
# and users know; segmentrun does the work (its usage: segmentrun --help).
# segmentrun is started under this script's own folder, so that the tools it
# uses are the ones beside this script (a folder of links finds its own).
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd) || exit 1
program=$here/segmentrun
[[ -x $program ]] || program=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/segmentrun
exec -a "$here/segmentrun" "$program" "$@"
