#!/usr/bin/env bash
# MV-HEVC writer benchmark: layerforge at 1080p per eye beside its references, measured in
# the same run.
#   bench/mvhevc/run-bench.sh [--build DIR] [--seconds N] [--long | --mem-seconds N] [--memory-only]
# --seconds N      length of the test clip (default 5)
# --long           memory check over a 5-minute input (default: 2 x the clip length)
# --mem-seconds N  memory check over an N-second input
# --memory-only    only the memory check
# Prints: layerforge wall time, fps, bit rate and peak memory; its own work (split, rewrite,
# mux) as a share of the run, measured in-process; two plain x265 encodes of the eyes run in
# parallel with the same settings; a single-layer x265 encode of the side-by-side frame at the
# same CRF; peak memory over a short and a long piped input.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build="$root/build"
seconds=5
long=0
mem_seconds=
memory_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --long) long=1; shift ;;
    --mem-seconds) mem_seconds=$2; shift 2 ;;
    --memory-only) memory_only=1; shift ;;
    *) echo "unknown option $1" >&2; exit 1 ;;
  esac
done
cmake --build "$build" --target layerforge mvhevc_overhead_bench >/dev/null
layerforge="$build/bin/tools/layerforge"
overhead="$build/bin/mvhevc_overhead_bench"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
W=1920; H=1080
crf=18   # what quality 0.85 maps to
# Moving synthetic content; x265 is faster on it than on grainy film, so the share of our own
# work comes out on the high side.
source_filter() {
  echo "testsrc2=size=$((2*W+16))x$H:rate=24000/1001,split[a][b];[a]crop=$W:$H:0:0[l];[b]crop=$W:$H:16:0[r];[l][r]hstack,format=yuv420p"
}
generate() {  # seconds -> raw SBS on stdout
  ffmpeg -nostdin -v error -f lavfi -i "$(source_filter)" -t "$1" -f rawvideo -
}
echo "== MV-HEVC writer benchmark: ${W}x${H} per eye, 24000/1001 fps, ${seconds} s clip, $(nproc) cores"
if [ "$memory_only" = 0 ]; then
generate "$seconds" > "$work/sbs.yuv"
frames=$(( $(stat -c %s "$work/sbs.yuv") / (2*W*H*3/2) ))
calc() { awk "BEGIN { print $1 }"; }
duration=$(calc "$frames * 1001 / 24000")

rate() { calc "int($1 * 8 / $duration / 10000) / 100"; }

# 1. layerforge itself.
/usr/bin/time -f "%e %M" -o "$work/lf.time" "$layerforge" --width $W --height $H --output "$work/lf.mov" \
  < "$work/sbs.yuv" 2> "$work/lf.log"
read -r lf_wall lf_rss < "$work/lf.time"
lf_size=$(stat -c %s "$work/lf.mov")
printf "layerforge            %6.1f s  %6.2f fps  %7s Mbit/s  peak %d MB\n" "$lf_wall" \
  "$(calc "$frames / $lf_wall")" "$(rate "$lf_size")" $((lf_rss / 1024))

# 2. Its own work, timed in-process on the same loop.
"$overhead" "$work/sbs.yuv" $W $H "$work/ob.mov" | sed 's/^/  in-process: /'

# 3. Reference: the two eyes as plain x265 encodes, in parallel, same settings.
ffmpeg -nostdin -v error -f rawvideo -pix_fmt yuv420p -s $((2*W))x$H -i "$work/sbs.yuv" \
  -filter_complex "[0]split[a][b];[a]crop=$W:$H:0:0[l];[b]crop=$W:$H:$W:0[r]" \
  -map "[l]" -f rawvideo "$work/left.yuv" -map "[r]" -f rawvideo "$work/right.yuv"
x265_args=(--input-res ${W}x$H --fps 24000/1001 --preset medium --crf $crf --keyint 48 --min-keyint 48
  --no-scenecut --no-open-gop --b-adapt 0 --no-weightp --no-weightb --slices 1 --no-info --no-progress --log-level error)
start=$(date +%s.%N)
x265 --input "$work/left.yuv" "${x265_args[@]}" -o "$work/left.hevc" &
x265 --input "$work/right.yuv" "${x265_args[@]}" -o "$work/right.hevc" &
wait
ref_wall=$(calc "$(date +%s.%N) - $start")
ref_size=$(( $(stat -c %s "$work/left.hevc") + $(stat -c %s "$work/right.hevc") ))
printf "two x265 eyes (ref)   %6.1f s  %6.2f fps  %7s Mbit/s\n" "$ref_wall" \
  "$(calc "$frames / $ref_wall")" "$(rate "$ref_size")"
printf "layerforge vs ref     %+6.1f %% wall time\n" "$(calc "($lf_wall - $ref_wall) * 100 / $ref_wall")"

# 4. Single-layer encode of the side-by-side frame at the same CRF.
start=$(date +%s.%N)
x265 --input "$work/sbs.yuv" --input-res $((2*W))x$H --fps 24000/1001 --preset medium --crf $crf \
  --no-info --no-progress --log-level error -o "$work/sbs.hevc"
sbs_wall=$(calc "$(date +%s.%N) - $start")
printf "x265 SBS single layer %6.1f s  %6.2f fps  %7s Mbit/s\n" "$sbs_wall" \
  "$(calc "$frames / $sbs_wall")" "$(rate "$(stat -c %s "$work/sbs.hevc")")"
rm -f "$work"/*.yuv "$work"/*.hevc
fi

# 5. Memory over a longer piped input stays flat.
[ -z "$mem_seconds" ] && mem_seconds=$((2 * seconds))
[ "$long" = 1 ] && mem_seconds=300
for s in "$seconds" "$mem_seconds"; do
  generate "$s" | /usr/bin/time -f "%e %M" -o "$work/mem.time" "$layerforge" --width $W --height $H \
    --output "$work/mem.mov" 2>/dev/null
  read -r m_wall m_rss < "$work/mem.time"
  printf "peak memory, %4d s    %6d MB  (%.1f s)\n" "$s" $((m_rss / 1024)) "$m_wall"
  rm -f "$work/mem.mov"
done
