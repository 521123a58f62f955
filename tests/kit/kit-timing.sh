#!/bin/bash
# Times a fresh stereo media set beside a reference measured in the same run:
# the two x264 encodes of one profile's eyes alone (the least any kit must spend).
#   tests/kit/kit-timing.sh [BUILD_DIR] [small|hd]
set -euo pipefail
build=${1:-build}
set=${2:-small}
kit="$build/bin/stereokit"
[[ -x $kit ]] || { echo "ERROR: $kit not built (cmake --build $build --target stereokit)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Prints "wall cpu" in seconds; CPU includes the children the command waited for.
measure() {
    /usr/bin/time -o "$work/time.txt" -f "%e %U %S" "$@" >/dev/null 2>&1
    awk '{ printf "%.1f %.1f\n", $1, $2 + $3 }' "$work/time.txt"
}

read -r kitWall kitCpu < <(measure "$kit" --set "$set" --output "$work" --force)
info="$work/$set/set.info"
size=$(awk -F= '$1=="width"{w=$2} $1=="height"{h=$2} END{print w "x" h}' "$info")
keyint=$(awk -F= '$1=="keyint"{print $2}' "$info")
profiles=$(awk -F= '$1=="profiles"{print $2}' "$info" | wc -w)
encode='for eye in left right; do
  x264 --quiet --demuxer raw --input-csp i420 --input-res "$1" --fps 24000/1001 --preset fast --crf 23 \
    --keyint "$2" --min-keyint "$2" --no-scenecut --b-adapt 0 --threads 1 \
    -o "$3/ref_$eye.264" "$3/$4/${eye}_src.yuv" &
done; wait'
read -r refWall refCpu < <(measure bash -c "$encode" encode "$size" "$keyint" "$work" "$set")
echo "stereokit --set $set: ${kitWall} s wall, ${kitCpu} s CPU ($profiles profiles, sources, side-by-side movies)"
echo "reference, one profile's two x264 encodes: ${refWall} s wall, ${refCpu} s CPU"
