#!/bin/bash
# Two-view decoding speed on 1080p MVC whose second view is predicted from the
# first (inter-view prediction, as on Blu-ray 3D discs; the kit's MVC never
# does it): the 1080p JM-made stream of the test data, repeated, decoded by one
# decoder thread for both views, beside Debian's ffmpeg decoding the same base
# view alone in plain C (-cpuflags 0 -threads 1), all in this run.
# Usage: bench/h264/mvc-interview-speed.sh [build dir] [repeats] [rounds]
# Target: one-thread pairs/s >= 0.5x ffmpeg plain C base-view fps (CPU time).
# Each program runs `rounds` times, alternating, and its best CPU time counts,
# so that a burst of other work on the machine does not decide the ratio.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-$here/../../build}")
repeats=${2:-30}
rounds=${3:-3}
data=${DUOSCOPE_TESTDATA_DIR:-$here/../../tests/data}/mvc
name=mvc_s5_cabac_ibbp_1920x1080.264
source=$data/$name
tools=$build/bin/tools
for t in "$tools/ldecod" "$tools/viewpump"; do
    [ -x "$t" ] || { echo "ERROR: $t not built" >&2; exit 1; }
done
[ -f "$source" ] || { echo "ERROR: $source missing" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# The stream opens with its parameter sets and an IDR access unit (an anchor
# in both views) and ends on a whole access unit, so copies of it joined end to
# end decode as one longer stream: each copy restarts at an IDR.
expected() { awk -v n="$name" -v v="$1" '$1 == n && $2 == v {print $6}' "$data/md5.txt"; }
frames=$(awk -v n="$name" '$1 == n && $2 == 0 {print $4}' "$data/md5.txt")
"$tools/ldecod" -p InputFile="$source" -p OutputFile=check.yuv -p DecodeAllLayers=1 > /dev/null
for view in 0 1; do
    got=$(md5sum < "check_ViewId000$view.yuv" | cut -d' ' -f1)
    [ "$got" = "$(expected "$view")" ] || {
        echo "ERROR: view $view of $name decodes to $got, not $(expected "$view")" >&2; exit 1; }
done
rm -f check_ViewId*.yuv
for _ in $(seq "$repeats"); do cat "$source"; done > stream.264
# The base view alone: ffmpeg's own bitstream filter drops the prefix, subset
# SPS and second-view slice NAL units. Its decode must be our base view.
ffmpeg -v error -nostdin -i stream.264 -c:v copy -bsf:v 'filter_units=remove_types=14|15|20' -f h264 base.264
got=$(ffmpeg -v error -nostdin -i "$source" -c:v copy -bsf:v 'filter_units=remove_types=14|15|20' -f h264 - |
    ffmpeg -v error -nostdin -f h264 -i - -f rawvideo -pix_fmt yuv420p - | md5sum | cut -d' ' -f1)
[ "$got" = "$(expected 0)" ] || { echo "ERROR: ffmpeg's base view is $got, not $(expected 0)" >&2; exit 1; }

pairs=$((repeats * frames))
echo "stream: $name x $repeats = $pairs access units (1920x1080, second view inter-view predicted)"
# ldecod's view files are links to /dev/null: the figure is decoding, as for ffmpeg's -f null.
ln -s /dev/null out_ViewId0000.yuv
ln -s /dev/null out_ViewId0001.yuv
. "$here/best-cpu.sh"
for round in $(seq "$rounds"); do
    echo "round $round of $rounds..."
    measure ldecod ldecod.out "$tools/ldecod" -p InputFile=stream.264 -p OutputFile=out.yuv -p DecodeAllLayers=1
    grep -q "^$((2 * pairs)) frames are decoded" ldecod.out || {
        echo "ERROR: ldecod did not output $((2 * pairs)) pictures" >&2; exit 1; }
    # viewpump's pictures go to /dev/null likewise.
    measure viewpump /dev/null "$tools/viewpump" -p InputFile=stream.264 -p Threads=1
    grep -q "done, $pairs frame pairs" viewpump.err || {
        echo "ERROR: viewpump did not output $pairs pairs" >&2; exit 1; }
    measure ffmpeg /dev/null ffmpeg -nostdin -threads 1 -cpuflags 0 -i base.264 -f null -
done
rate() { calc "$2 / $(cat "$1.cpu")"; }
report() { # key, label, count, unit
    printf "%-38s %6.1f %-6s/s CPU (best of %d: CPU %6.2f s, wall %6.2f s, max RSS %4d MiB)\n" "$2" \
        "$(rate "$1" "$3")" "$4" "$rounds" "$(cat "$1.cpu")" "$(cat "$1.wall")" "$(($(cat "$1.rss") / 1024))"
}
report ldecod "ldecod, one thread, both views" "$pairs" pairs
report viewpump "viewpump -p Threads=1, both views" "$pairs" pairs
report ffmpeg "ffmpeg plain C, base view alone" "$pairs" frames
printf "ldecod pairs/s vs ffmpeg plain C base-view fps (CPU):   %.2fx (target >= 0.5)\n" \
    "$(calc "$(rate ldecod "$pairs") / $(rate ffmpeg "$pairs")")"
printf "viewpump one thread vs ffmpeg plain C base-view fps:    %.2fx\n" \
    "$(calc "$(rate viewpump "$pairs") / $(rate ffmpeg "$pairs")")"
