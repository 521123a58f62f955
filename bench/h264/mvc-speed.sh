#!/bin/bash
# Two-view decoding speed and memory on the kit's 1080p MVC stream (two x264
# eyes composed as Blu-ray 3D), beside Debian's ffmpeg decoding the base view
# alone, in plain C (-cpuflags 0 -threads 1) and with its SIMD, all in this run.
# Usage: bench/h264/mvc-speed.sh [build dir] [frames]
# Targets: one-thread pairs/s >= 0.5x ffmpeg plain C base-view fps; viewpump's
# two threads >= 1.7x one thread (wall time, so run it on an idle machine);
# maximum resident size the same for the stream and for the stream twice over.
set -euo pipefail
build=$(realpath "${1:-$(dirname "$0")/../../build}")
frames=${2:-240}
tools=$build/bin/tools
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for t in "$tools/ldecod" "$tools/viewpump" "$build/bin/stereokit"; do
    [ -x "$t" ] || { echo "ERROR: $t not built" >&2; exit 1; }
done

# MVC_BENCH_KIT=<folder> keeps the made set there and reuses it (the kit's cache).
kit=${MVC_BENCH_KIT:-$work/kit}
echo "making a ${frames}-frame 1080p two-view stream with the kit..."
"$build/bin/stereokit" --set hd --frames "$frames" --output "$kit" > /dev/null
stream=$kit/hd/cabac_b/interleaved.264
base=$kit/hd/cabac_b/base.264
cat "$stream" "$stream" > "$work/twice.264"

measure() { # name, count, command... (standard output discarded)
    local name=$1 count=$2; shift 2
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" > /dev/null 2> "$work/$name.err" || {
        echo "ERROR: $name failed:" >&2; tail -3 "$work/$name.err" >&2; exit 1; }
    read -r wall user sys rss < "$work/time"
    local cpu
    cpu=$(echo "$user + $sys" | bc -l)
    printf "%-34s %7.1f /s CPU  %7.1f /s wall  (CPU %6.2f s, wall %6.2f s, max RSS %4d MiB)\n" "$name" \
        "$(echo "$count / $cpu" | bc -l)" "$(echo "$count / $wall" | bc -l)" "$cpu" "$wall" "$((rss / 1024))"
    echo "$count / $cpu" | bc -l > "$work/$name.cpurate"
    echo "$count / $wall" | bc -l > "$work/$name.wallrate"
    echo "$rss" > "$work/$name.rss"
}
rate() { cat "$work/$1.$2rate"; }

cd "$work"
# ldecod's two view files are links to /dev/null: the figure is decoding, as
# for ffmpeg's -f null (writing 6 MB per access unit to disk costs as much as
# decoding it once the page cache fills).
ln -s /dev/null "$work/out_ViewId0000.yuv"
ln -s /dev/null "$work/out_ViewId0001.yuv"
measure "ldecod pairs (1 thread)" "$frames" "$tools/ldecod" -p InputFile="$stream" -p OutputFile="$work/out.yuv" -p DecodeAllLayers=1
measure "viewpump pairs (1 thread)" "$frames" "$tools/viewpump" -p InputFile="$stream" -p Threads=1
measure "viewpump pairs (2 threads)" "$frames" "$tools/viewpump" -p InputFile="$stream" -p Stats=1
measure "viewpump pairs, stream twice" "$((2 * frames))" "$tools/viewpump" -p InputFile="$work/twice.264"
measure "ffmpeg base view plain C" "$frames" ffmpeg -nostdin -threads 1 -cpuflags 0 -i "$base" -f null -
measure "ffmpeg base view SIMD" "$frames" ffmpeg -nostdin -threads 1 -i "$base" -f null -

ratio() { echo "$1 / $2" | bc -l; }
printf "one-thread pairs/s vs ffmpeg plain C base-view fps (CPU): %.2fx (target >= 0.5)\n" \
    "$(ratio "$(rate "ldecod pairs (1 thread)" cpu)" "$(rate "ffmpeg base view plain C" cpu)")"
printf "viewpump one thread vs ffmpeg plain C base-view fps (CPU): %.2fx\n" \
    "$(ratio "$(rate "viewpump pairs (1 thread)" cpu)" "$(rate "ffmpeg base view plain C" cpu)")"
printf "one-thread pairs/s vs ffmpeg SIMD base-view fps (CPU):    %.2fx\n" \
    "$(ratio "$(rate "ldecod pairs (1 thread)" cpu)" "$(rate "ffmpeg base view SIMD" cpu)")"
printf "viewpump two threads vs one thread (wall):                %.2fx (target >= 1.7)\n" \
    "$(ratio "$(rate "viewpump pairs (2 threads)" wall)" "$(rate "viewpump pairs (1 thread)" wall)")"
# On a loaded machine wall time says little; the busiest thread's CPU time
# bounds the two-thread wall time on an idle one.
busiest=$(sed -n 's/.*base \([0-9.]*\), second \([0-9.]*\),.*/\1 \2/p' "$work/viewpump pairs (2 threads).err" |
    awk '{print ($1 > $2) ? $1 : $2}')
printf "two threads vs one, one-thread CPU / busiest thread's CPU:  %.2fx (%s)\n" \
    "$(echo "$frames / $(rate "viewpump pairs (1 thread)" cpu) / $busiest" | bc -l)" \
    "$(grep "thread CPU" "$work/viewpump pairs (2 threads).err")"
printf "max RSS, stream once / twice:                             %d / %d MiB\n" \
    "$(($(cat "$work/viewpump pairs (2 threads).rss") / 1024))" "$(($(cat "$work/viewpump pairs, stream twice.rss") / 1024))"
