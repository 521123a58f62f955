#!/bin/bash
# Two-view decoding speed at Blu-ray 3D bit rates, where CABAC parsing weighs
# most: two 1080p eyes with film-like grain (different in each eye) encoded by
# x264 at 24 Mbit/s each (VBV 40 Mbit/s, 4 slices per picture, 2 B-frames, as
# disc encoders write), decoded by one ldecod thread one after the other (the
# work of a two-view decoder on one thread, without inter-view prediction),
# beside Debian's ffmpeg decoding the first eye alone in plain C
# (-cpuflags 0 -threads 1), all in this run. The streams are made the same way
# on every run (x264 with one thread, fixed noise seeds).
# Usage: bench/h264/mvc-highrate-speed.sh [build dir] [frames] [rounds]
# Target: pairs/s >= 0.5x ffmpeg plain C first-eye fps (CPU time). Each program
# runs `rounds` times, alternating, and its best CPU time counts.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-$here/../../build}")
frames=${2:-96}
rounds=${3:-3}
ldecod=$build/bin/tools/ldecod
[ -x "$ldecod" ] || { echo "ERROR: $ldecod not built" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "making two ${frames}-frame 1080p eyes at 24 Mbit/s with x264..."
for eye in 1 2; do
    ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=1920x1080:rate=24000/1001" \
        -vf "noise=alls=10:allf=t:all_seed=$eye" -frames:v "$frames" -pix_fmt yuv420p -f yuv4mpegpipe - |
        x264 --quiet --threads 1 --profile high --preset fast --keyint 24 --min-keyint 24 --no-scenecut \
            --bframes 2 --b-adapt 0 --slices 4 --bitrate 24000 --vbv-maxrate 40000 --vbv-bufsize 30000 \
            --demuxer y4m -o "eye$eye.264" - 2> /dev/null
done
cat eye1.264 eye2.264 > both.264
# Our decode of the first eye must be ffmpeg's, frame by frame.
ffmpeg -nostdin -v error -i eye1.264 -f framemd5 eye1.md5
"$ldecod" -p InputFile=eye1.264 -p OutputFile=/dev/null -p VerifyMd5=eye1.md5 > check.out 2>&1 || {
    echo "ERROR: ldecod's first eye differs from ffmpeg's:" >&2; tail -3 check.out >&2; exit 1; }
rate=$(awk -v b="$(stat -c %s eye1.264)" -v n="$frames" 'BEGIN { printf "%.1f", b * 8 * 24000 / 1001 / n / 1e6 }')
echo "stream: 2 eyes x $frames frames, 1920x1080, first eye $rate Mbit/s"

. "$here/best-cpu.sh"
for round in $(seq "$rounds"); do
    echo "round $round of $rounds..."
    measure ldecod ldecod.out "$ldecod" -p InputFile=both.264 -p OutputFile=/dev/null
    grep -q "^$((2 * frames)) frames are decoded" ldecod.out || {
        echo "ERROR: ldecod did not output $((2 * frames)) pictures" >&2; exit 1; }
    measure ffmpeg /dev/null ffmpeg -nostdin -threads 1 -cpuflags 0 -i eye1.264 -f null -
done
rate() { calc "$frames / $(cat "$1.cpu")"; }
report() { # key, label, unit
    printf "%-36s %6.1f %-6s/s CPU (best of %d: CPU %6.2f s, wall %6.2f s)\n" "$2" "$(rate "$1")" "$3" \
        "$rounds" "$(cat "$1.cpu")" "$(cat "$1.wall")"
}
report ldecod "ldecod, one thread, both eyes" pairs
report ffmpeg "ffmpeg plain C, first eye alone" frames
printf "ldecod pairs/s vs ffmpeg plain C first-eye fps (CPU): %.2fx (target >= 0.5)\n" \
    "$(calc "$(rate ldecod) / $(rate ffmpeg)")"
