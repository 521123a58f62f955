#!/usr/bin/env bash
# Memory over a long 1080p-per-eye input: pipes N seconds of generated side-by-side frames
# through layerforge's frame loop (mvhevc_overhead_bench, at a quality value) and prints the
# resident set size every 10 seconds. Flat memory = the same figure from the first minute on.
#   bench/mvhevc/rss-watch.sh [--build DIR] [--seconds 300] [--quality 0.5]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build="$here/../../build"
seconds=300
quality=0.5
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --quality) quality=$2; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 1 ;;
  esac
done
cmake --build "$build" --target mvhevc_overhead_bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
W=1920; H=1080
ffmpeg -nostdin -v error -f lavfi \
  -i "testsrc2=size=$((2*W+16))x$H:rate=24000/1001,split[a][b];[a]crop=$W:$H:0:0[l];[b]crop=$W:$H:16:0[r];[l][r]hstack,format=yuv420p" \
  -t "$seconds" -f rawvideo - |
  "$build/bin/mvhevc_overhead_bench" /dev/stdin $W $H "$work/out.mov" "$quality" > "$work/result.txt" &
pipeline=$!
sleep 1
pid=$(pgrep -n -f "mvhevc_overhead_bench /dev/stdin $W $H $work/out.mov" || true)
t=0
echo "== resident memory, ${W}x${H} per eye, ${seconds} s input, quality $quality"
while [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; do
  rss=$(awk '/VmRSS/ { print int($2 / 1024) }' "/proc/$pid/status" 2>/dev/null || true)
  [ -n "$rss" ] && printf "%5d s  %5d MB\n" "$t" "$rss"
  sleep 10
  t=$((t + 10))
done
wait "$pipeline"
cat "$work/result.txt"
