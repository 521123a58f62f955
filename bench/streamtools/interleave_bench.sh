#!/bin/bash
# Interleaving speed and memory beside cat on the same page-cached bytes.
#   bench/streamtools/interleave_bench.sh [build dir] [megabytes, default 1000]
# Targets: >= 1 GB/s, >= half of cat, max RSS < 40 MiB.
set -euo pipefail
build=$(realpath "${1:-$(dirname "$0")/../../build}")
megabytes=${2:-1000}
driver=$build/bin/interleave_bench
unitmerge=$build/bin/tools/unitmerge
work=$(mktemp -d "${TMPDIR:-/tmp}/interleave-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

"$driver" generate "$work" "$megabytes"
bytes=$(($(stat -c %s "$work/base.264") + $(stat -c %s "$work/dep.mvc")))
cat "$work/base.264" "$work/dep.mvc" >/dev/null # into the page cache

best() { # best wall time of three runs of "$@", in seconds
    local best=""
    for _ in 1 2 3; do
        local start end
        start=$(date +%s.%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s.%N)
        best=$(echo "$start $end ${best:-1e9}" | awk '{t = $2 - $1; print (t < $3 ? t : $3)}')
    done
    echo "$best"
}
rate() { echo "$bytes $1" | awk '{printf "%.2f", $1 / $2 / 1e9}'; }

cat_time=$(best cat "$work/base.264" "$work/dep.mvc")
interleave_time=$(best "$driver" run "$work/base.264" "$work/dep.mvc" /dev/null)
unitmerge_time=$(best "$unitmerge" "$work/base.264" "$work/dep.mvc" /dev/null)
/usr/bin/time -o "$work/time.txt" -v "$driver" run "$work/base.264" "$work/dep.mvc" /dev/null >/dev/null
rss=$(awk '/Maximum resident set size/ {printf "%.1f", $6 / 1024}' "$work/time.txt")
interleave_cpu=$(awk -F': ' '/User time|System time/ {t += $2} END {printf "%.2f", t}' "$work/time.txt")
/usr/bin/time -o "$work/time.txt" -v cat "$work/base.264" "$work/dep.mvc" >/dev/null
cat_cpu=$(awk -F': ' '/User time|System time/ {t += $2} END {printf "%.2f", t}' "$work/time.txt")

echo "input: $bytes bytes (page-cached), output /dev/null"
echo "cat:            $(rate "$cat_time") GB/s"
echo "NALInterleaver: $(rate "$interleave_time") GB/s ($(echo "$cat_time $interleave_time" | awk '{printf "%.2f", $1 / $2}') x cat), max RSS $rss MiB"
echo "unitmerge:      $(rate "$unitmerge_time") GB/s"
echo "CPU time (user + sys): cat $cat_cpu s, NALInterleaver $interleave_cpu s (wall times above suffer on a busy machine)"
