#!/bin/bash
# Demux throughput and memory of tsmuxer on a page-cached Blu-ray style M2TS
# (two 1080p H.264 video PIDs, 0x1011 and 0x1012, plus AC-3), beside `cat`
# reading the same file in the same run.
#
# usage: bench/tsmuxer/bench.sh [build folder] [size in MB]   (defaults: build, 1000)
# The media is generated once into $TMPDIR/duoscope-tsmuxer-bench (x264 + ffmpeg).
set -euo pipefail
BUILD=${1:-build}
SIZE_MB=${2:-1000}
TSMUXER=$(realpath "$BUILD/bin/tools/tsmuxer")
WORK=${TMPDIR:-/tmp}/duoscope-tsmuxer-bench
MOVIE=$WORK/movie_${SIZE_MB}.m2ts
mkdir -p "$WORK"

if [ ! -s "$MOVIE" ]; then
    echo "generating $MOVIE ..."
    # Grainy pictures keep x264's bit rate near a Blu-ray's (tens of Mbit/s per view).
    for eye in left right; do
        [ -s "$WORK/$eye.ts" ] || ffmpeg -v error -y -f lavfi -i "testsrc2=size=1920x1080:rate=24000/1001" \
            -vf "noise=alls=30:allf=t" -t 6 -c:v libx264 -preset ultrafast -crf 16 -g 24 -bf 2 \
            -pix_fmt yuv420p "$WORK/$eye.ts"
    done
    ffmpeg -v error -y -stream_loop -1 -i "$WORK/left.ts" -stream_loop -1 -i "$WORK/right.ts" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000" \
        -map 0:v -map 1:v -map 2:a -c:v copy -c:a ac3 -shortest -fs "${SIZE_MB}M" \
        -mpegts_m2ts_mode 1 -streamid 0:4113 -streamid 1:4114 -streamid 2:4352 -f mpegts "$MOVIE.partial"
    mv "$MOVIE.partial" "$MOVIE"
fi

BYTES=$(stat -c %s "$MOVIE")
cat "$MOVIE" > /dev/null # into the page cache
cat "$MOVIE" > /dev/null

rate() { awk -v b="$BYTES" -v s="$1" 'BEGIN { printf "%.0f", b / 1e6 / s }'; }
now() { date +%s.%N; }

start=$(now); cat "$MOVIE" > /dev/null; end=$(now)
CAT_S=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')

# Outputs go to memory when possible: the figure is the demuxer's, not the disk's
# write-back (set OUT_DIR to measure a real folder).
if [ -z "${OUT_DIR:-}" ] && [ -d /dev/shm ]; then OUT=/dev/shm/duoscope-tsmuxer-bench-out; else OUT=${OUT_DIR:-$WORK/out}; fi
rm -rf "$OUT"; mkdir -p "$OUT"
cat > "$WORK/demux.meta" <<META
MUXOPT --no-pcr-on-video-pid --new-audio-pes --demux --vbr --vbv-len=500
V_MPEG4/ISO/AVC, "$MOVIE", track=4113
V_MPEG4/ISO/MVC, "$MOVIE", track=4114
META
/usr/bin/time -f "%e %U %S %M" -o "$WORK/time.txt" "$TSMUXER" "$WORK/demux.meta" "$OUT" > "$WORK/tsmuxer.log"
read -r TSM_S USER_S SYS_S RSS_KB < "$WORK/time.txt"
CPU_S=$(awk -v u="$USER_S" -v s="$SYS_S" 'BEGIN { printf "%.2f", u + s }')
OUT_BYTES=$(cat "$OUT"/*.264 "$OUT"/*.mvc | wc -c)

printf 'input: %s (%.0f MB, page-cached), outputs %.0f MB\n' "$MOVIE" "$(awk -v b="$BYTES" 'BEGIN{print b/1e6}')" \
    "$(awk -v b="$OUT_BYTES" 'BEGIN{print b/1e6}')"
printf 'cat:     %6.2f s  %6s MB/s\n' "$CAT_S" "$(rate "$CAT_S")"
printf 'tsmuxer: %6.2f s  %6s MB/s  (CPU %s s = %s MB/s)  max RSS %d MiB  (target: < 3 s for 1 GB, < 64 MiB)\n' \
    "$TSM_S" "$(rate "$TSM_S")" "$CPU_S" "$(rate "$CPU_S")" $((RSS_KB / 1024))
printf 'outputs in %s; load average now: %s\n' "$OUT" "$(cut -d' ' -f1-3 /proc/loadavg)"
rm -rf "$OUT"
