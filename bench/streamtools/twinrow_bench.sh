#!/bin/bash
# twinrow throughput on 1080p views through pipes, beside cat through the same pipes.
#   bench/streamtools/twinrow_bench.sh [build dir] [frames, default 300]
# Target: >= 1.5 GB/s of input moved.
set -euo pipefail
build=$(realpath "${1:-$(dirname "$0")/../../build}")
frames=${2:-300}
twinrow=$build/bin/tools/twinrow
work=$(mktemp -d "${TMPDIR:-/tmp}/twinrow-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Two views of 1920x1080 I420 alternating: 2 x frames pictures of 3,110,400 bytes.
ffmpeg -v error -f lavfi -i "testsrc2=s=1920x1080:r=25" -frames:v 10 -pix_fmt yuv420p -f rawvideo "$work/ten.yuv"
for ((i = 0; i < frames / 5; ++i)); do cat "$work/ten.yuv"; done >"$work/views.yuv"
bytes=$(stat -c %s "$work/views.yuv")
cat "$work/views.yuv" >/dev/null

best() { # best wall time of three runs of a pipeline, in seconds
    local best=""
    for _ in 1 2 3; do
        local start end
        start=$(date +%s.%N)
        bash -c "$1" 2>/dev/null
        end=$(date +%s.%N)
        best=$(echo "$start $end ${best:-1e9}" | awk '{t = $2 - $1; print (t < $3 ? t : $3)}')
    done
    echo "$best"
}
rate() { echo "$bytes $1" | awk '{printf "%.2f", $1 / $2 / 1e9}'; }

cat_time=$(best "cat '$work/views.yuv' | cat | cat >/dev/null")
twinrow_time=$(best "cat '$work/views.yuv' | '$twinrow' 1920 1080 | cat >/dev/null")
swap_time=$(best "cat '$work/views.yuv' | '$twinrow' 1920 1080 swap | cat >/dev/null")
cat_one_time=$(best "cat '$work/views.yuv' | cat >/dev/null")
twinrow_one_time=$(best "cat '$work/views.yuv' | '$twinrow' 1920 1080 >/dev/null")
/usr/bin/time -o "$work/time.txt" -f "%U %S" "$twinrow" 1920 1080 <"$work/views.yuv" >/dev/null 2>/dev/null
cpu=$(cat "$work/time.txt")

echo "input: $bytes bytes ($frames 1080p frame pairs), cat | X | cat > /dev/null"
echo "cat:          $(rate "$cat_time") GB/s"
echo "twinrow:      $(rate "$twinrow_time") GB/s"
echo "twinrow swap: $(rate "$swap_time") GB/s"
echo "one pipe in, /dev/null out: cat $(rate "$cat_one_time") GB/s, twinrow $(rate "$twinrow_one_time") GB/s"
echo "twinrow CPU (user, sys) for the whole input from a file: $cpu s"
