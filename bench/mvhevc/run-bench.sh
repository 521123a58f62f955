#!/usr/bin/env bash
# MV-HEVC benchmark: layerforge at 1920x1080 per eye on a pair whose eyes differ as real ones do,
# beside one x265 encode of the same frames as a 3840x1080 side-by-side picture (same libx265,
# speed preset and rate settings), per quality preset, measured in the same run.
#   bench/mvhevc/run-bench.sh [--build DIR] [--frames N] [--presets "ultraHigh high medium low"] [--no-memory]
# Prints per preset: pairs/s, bit rate and per-eye PSNR of both; the MV-HEVC/SBS speed ratio
# (target >= 0.9); Balanced (medium) against High Quality pairs/s (target >= 3x); layerforge's own
# work as a share of its wall time (target < 2 %); peak memory over 1x and 4x the clip (flat).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build="$root/build"
frames=48
presets="ultraHigh high medium low"
memory=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --frames) frames=$2; shift 2 ;;
    --presets) presets=$2; shift 2 ;;
    --no-memory) memory=0; shift ;;
    *) echo "unknown option $1" >&2; exit 1 ;;
  esac
done
cmake --build "$build" --target layerforge mvhevc_overhead_bench mvhevc_layer_one >/dev/null
layerforge="$build/bin/tools/layerforge"
overhead="$build/bin/mvhevc_overhead_bench"
layer_one="$build/bin/mvhevc_layer_one"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
W=1920; H=1080
calc() { awk "BEGIN { print $1 }"; }
duration=$(calc "$frames * 1001 / 24000")

# The engine's quality presets: StereoPacker quality, average rate (Mbit/s) or none, what x265 gets.
preset_row() {
  case "$1" in
    ultraHigh) echo "0.88 35 medium 17" ;;
    high)      echo "0.85 25 medium 18" ;;
    medium)    echo "0.7 - fast 23" ;;
    low)       echo "0.5 - veryfast 28" ;;
    *) echo "unknown preset $1" >&2; exit 1 ;;
  esac
}

# Two views of the Mandelbrot set with a cut halfway, panned fast; the right eye 32 pixels over with
# its own grain and a flash only it sees; fades at both ends.
pan=240; disparity=32
filter="mandelbrot=s=$((W + pan + disparity))x$H:r=24000/1001:start_scale=2:end_scale=0.5:maxiter=100[m1];\
mandelbrot=s=$((W + pan + disparity))x$H:r=24000/1001:start_x=-0.7435:start_y=0.1314:start_scale=0.02:end_scale=0.001:maxiter=100[m2];\
[m1]trim=end_frame=$((frames / 2))[a];[m2]trim=end_frame=$frames[b];\
[a][b]concat=n=2,format=yuv420p,crop=$((W + disparity)):$H:'mod(n*40,$pan)':0,split[x][y];\
[x]crop=$W:$H:0:0,noise=alls=8:allf=t:all_seed=11[l];\
[y]crop=$W:$H:$disparity:0,noise=alls=8:allf=t:all_seed=29,drawbox=x=0:y=0:w=$W:h=$H:color=white@0.7:t=fill:enable='eq(n,5)'[r];\
[l][r]hstack,fade=t=in:d=0.2,fade=t=out:st=$(calc "($frames - 5) * 1001 / 24000"):d=0.2"
ffmpeg -nostdin -v error -f lavfi -i "$filter" -frames:v "$frames" -f rawvideo "$work/sbs.yuv"
ffmpeg -nostdin -v error -f rawvideo -pix_fmt yuv420p -s $((2 * W))x$H -i "$work/sbs.yuv" \
  -filter_complex "[0]split[a][b];[a]crop=$W:$H:0:0[l];[b]crop=$W:$H:$W:0[r]" \
  -map "[l]" -f rawvideo "$work/left.yuv" -map "[r]" -f rawvideo "$work/right.yuv"

# psnr <decoder input args...> -- <raw eye> [crop]: average PSNR over all planes
psnr() {
  local args=() eye crop
  while [ "$1" != "--" ]; do args+=("$1"); shift; done
  eye=$2; crop=${3:-null}
  ffmpeg -nostdin -v info "${args[@]}" -f rawvideo -pix_fmt yuv420p -s ${W}x$H -i "$eye" \
    -lavfi "[0:v]$crop,settb=1/25,setpts=N[a];[1:v]settb=1/25,setpts=N[b];[a][b]psnr" -f null - 2>&1 |
    sed -n 's/.*average:\([0-9.inf]*\).*/\1/p' | tail -1 | awk '{ printf "%.2f", $1 }'
}
mbits() { calc "int($1 * 8 / $duration / 10000) / 100"; }

echo "== MV-HEVC benchmark: ${W}x$H per eye, $frames frames at 24000/1001, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-10s %-11s %8s %9s %8s %8s\n" preset encode "pairs/s" "Mbit/s" "L dB" "R dB"
declare -A pairs
for p in $presets; do
  read -r quality rate x265preset crf <<< "$(preset_row "$p")"
  lf_opts=(--quality "$quality"); x265_rate=(--crf "$crf")
  if [ "$rate" != - ]; then lf_opts+=(--maxrate "$rate"); x265_rate=(--bitrate $((rate * 1000))); fi

  /usr/bin/time -f "%e" -o "$work/lf.time" "$layerforge" --width $W --height $H "${lf_opts[@]}" \
    --output "$work/lf.mov" < "$work/sbs.yuv" 2> "$work/lf.log"
  lf_wall=$(cat "$work/lf.time")
  "$layer_one" "$work/lf.mov" "$work/lf-right.hevc"
  lf_rate=$(calc "$frames / $lf_wall")
  pairs[$p]=$lf_rate
  printf "%-10s %-11s %8.3f %9s %8s %8s\n" "$p" layerforge "$lf_rate" "$(mbits "$(stat -c %s "$work/lf.mov")")" \
    "$(psnr -i "$work/lf.mov" -- "$work/left.yuv")" "$(psnr -i "$work/lf-right.hevc" -- "$work/right.yuv")"

  # The side-by-side picture, one encoder, the same library, speed preset and rate setting.
  start=$(date +%s.%N)
  x265 --input "$work/sbs.yuv" --input-res $((2 * W))x$H --fps 24000/1001 --preset "$x265preset" \
    "${x265_rate[@]}" --keyint 48 --no-open-gop --no-info --no-progress --log-level error -o "$work/sbs.hevc"
  sbs_wall=$(calc "$(date +%s.%N) - $start")
  sbs_rate=$(calc "$frames / $sbs_wall")
  printf "%-10s %-11s %8.3f %9s %8s %8s   MV-HEVC/SBS speed %.2f (target >= 0.9)\n" "$p" "x265 SBS" "$sbs_rate" \
    "$(mbits "$(stat -c %s "$work/sbs.hevc")")" \
    "$(psnr -i "$work/sbs.hevc" -- "$work/left.yuv" "crop=$W:$H:0:0")" \
    "$(psnr -i "$work/sbs.hevc" -- "$work/right.yuv" "crop=$W:$H:$W:0")" "$(calc "$lf_rate / $sbs_rate")"
  rm -f "$work/lf.mov" "$work/lf-right.hevc" "$work/sbs.hevc"
done
if [ -n "${pairs[medium]:-}" ] && [ -n "${pairs[high]:-}" ]; then
  printf "Balanced / High Quality pairs/s: %.2f (target >= 3)\n" "$(calc "${pairs[medium]} / ${pairs[high]}")"
fi

# layerforge's own work (split, picture-type plan, layer-1 rewrite, mux), timed in-process on the
# cheapest encoder setting, where its share is largest.
"$overhead" "$work/sbs.yuv" $W $H "$work/ob.mov" 0.5 | sed 's/^/own work at quality 0.5: /'
rm -f "$work/ob.mov"

if [ "$memory" = 1 ]; then
  for n in 1 4; do
    for _ in $(seq "$n"); do cat "$work/sbs.yuv"; done |
      /usr/bin/time -f "%M" -o "$work/mem.time" "$layerforge" --width $W --height $H --quality 0.5 \
        --output "$work/mem.mov" 2>/dev/null
    printf "peak memory, %3d frames: %6d MB\n" $((n * frames)) $(($(cat "$work/mem.time") / 1024))
    rm -f "$work/mem.mov"
  done
fi
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
