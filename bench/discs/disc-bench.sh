#!/bin/bash
# disc-bench.sh: converting a Blu-ray 3D title from a disc folder and from its
# ISO image, against the same title as one .m2ts, in the same run: wall time
# (target: at most 1.05x the .m2ts), peak memory of the largest process, and
# the most disk the output folder held while converting (target: no more).
# Memory is also measured on the first half of the title: flat means the
# same peak for half and whole.
#
#   bench/discs/disc-bench.sh <build dir> [set: hd|small] [target: sbs|mvhevc] [frames] [rounds]
#
# A fixed cost of a second drowns in the noise of a short title: give frames
# (e.g. 720, half a minute) for a title long enough to time; that set is made
# once under /tmp/disc-bench-kit. Each source is run `rounds` times, in turn,
# and the fastest run counts, so that a busy moment of the machine falls on
# one run rather than on one source.
#
# The kit's disc titles are the set's stereo pair; the .m2ts reference is the
# set's cabac_b/movie.m2ts, the same pictures in one clip (for hd the disc's
# encodes use a shorter key interval, so the streams are alike, not equal).
set -euo pipefail
build=$(cd "${1:?usage: disc-bench.sh <build dir> [hd|small] [sbs|mvhevc] [frames] [rounds]}" && pwd)
set=${2:-hd}
target=${3:-sbs}
frames=${4:-}
rounds=${5:-1}
kitRoot=$build/kit
[[ -n $frames ]] && kitRoot=/tmp/disc-bench-kit/$frames
kit=$kitRoot/$set
[[ -f $kit/discs/kit.stamp ]] ||
    "$build/bin/stereokit" --set "$set" --output "$kitRoot" ${frames:+--frames "$frames"} --discs >/dev/null
work=$(mktemp -d /tmp/disc-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/config/Duoscope"
printf '[General]\nqualityPreset=Balanced\n' >"$work/config/Duoscope/Duoscope.conf"
seconds=$(python3 -c "import json; t=json.load(open('$kit/discs/truth.json'));
print(t['discs']['film3d']['titles'][0]['durationSeconds'])")

# run <label> <source> [extra...]: prints "label wall_s peak_rss_MB peak_disk_MB"
run() {
    local label=$1 source=$2
    shift 2
    local out=$work/out-$label
    rm -rf "$out"
    mkdir -p "$out"
    local peak=0
    (
        while :; do
            size=$(du -sb "$out" 2>/dev/null | cut -f1)
            [[ ${size:-0} -gt $peak ]] && peak=$size && echo "$peak" >"$work/disk-$label"
            sleep 0.2
        done
    ) &
    local sampler=$!
    XDG_CONFIG_HOME=$work/config /usr/bin/time -f "%e %M" -o "$work/time-$label" \
        "$build/bin/Duoscope" --input "$source" --auto-convert --output "$out" --target "$target" \
        --overwrite "$@" >"$work/log-$label" 2>&1 || { echo "$label failed:"; tail -3 "$work/log-$label"; }
    kill "$sampler" 2>/dev/null || true
    wait "$sampler" 2>/dev/null || true
    read -r wall rss <"$work/time-$label"
    disk=$(cat "$work/disk-$label" 2>/dev/null || echo 0)
    if [[ -f $work/figures-$label ]]; then
        read -r bestWall bestRss bestDisk <"$work/figures-$label"
        if awk -v a="$bestWall" -v b="$wall" 'BEGIN { exit !(a < b) }'; then
            wall=$bestWall rss=$bestRss disk=$bestDisk
        fi
    fi
    printf '%-14s wall %7.2f s   peak RSS %6.1f MB   peak disk %7.1f MB\n' "$label" "$wall" \
        "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')" "$(awk -v b="$disk" 'BEGIN { print b / 1e6 }')"
    echo "$wall $rss $disk" >"$work/figures-$label"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }'; }

echo "disc-bench: set $set, target $target, title of $seconds s, $(nproc) cores"
for ((round = 1; round <= rounds; ++round)); do
    run m2ts "$kit/cabac_b/movie.m2ts"
    run folder "$kit/discs/film3d"
    run iso "$kit/discs/film3d.iso"
done
half=$(awk -v s="$seconds" 'BEGIN { h = int(s / 2); print h < 1 ? 1 : h }')
run folder-half "$kit/discs/film3d" --duration "$half"

read -r m2tsWall m2tsRss m2tsDisk <"$work/figures-m2ts"
for label in folder iso; do
    read -r wall rss disk <"$work/figures-$label"
    echo "$label vs m2ts: wall $(ratio "$wall" "$m2tsWall")x (target <= 1.05x;" \
        "$(awk -v a="$wall" -v b="$m2tsWall" 'BEGIN { printf "%+.2f", a - b }') s, a fixed cost on a short title)," \
        "memory $(ratio "$rss" "$m2tsRss")x, disk $(ratio "$disk" "$m2tsDisk")x (target <= 1x)"
done
read -r _ halfRss _ <"$work/figures-folder-half"
read -r _ wholeRss _ <"$work/figures-folder"
echo "memory, whole title vs first $half s: $(ratio "$wholeRss" "$halfRss")x (flat: about 1x)"
