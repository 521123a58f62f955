#!/bin/bash
# Join benchmark: clipweave, reelchain and boxgraft on ~2 GB of page-cached segments, each beside `cat`
# of the same files measured in the same run, with the peak resident memory of each tool.
# usage: join-bench.sh <tools-dir> <benchgen> [work-dir] [total-MB]
set -euo pipefail
tools=$1
gen=$2
work=${3:-${TMPDIR:-/tmp}/joiners-bench.$$}
total=${4:-2000}
segments=4
per=$((total / segments))
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

for k in $(seq 0 $((segments - 1))); do
    "$gen" "$work/seg$k.mov" "$per" 250
done
"$gen" "$work/plain0.mov" "$per" 250 --no-lhvc
segs=("$work"/seg*.mov)
bytes=$(cat "${segs[@]}" | wc -c)
cat "${segs[@]}" > /dev/null # into the page cache

# Seconds until the command returns (data in the page cache), seconds until it is on disk (sync), and
# peak RSS (KiB) of one command; its output is removed afterwards.
measure() {
    local out=$1
    shift
    sync
    local t0 t1 t2
    t0=$(date +%s.%N)
    /usr/bin/time -f "%M" -o "$work/rss" "$@" > /dev/null 2> "$work/log" || { cat "$work/log"; exit 1; }
    t1=$(date +%s.%N)
    sync
    t2=$(date +%s.%N)
    secs=$(echo "$t1 - $t0" | bc -l)
    synced=$(echo "$t2 - $t0" | bc -l)
    rss=$(cat "$work/rss")
    rm -f "$out"
}

row() {
    printf "%-32s %7.2f s %7.0f MB/s | synced %7.2f s %6.0f MB/s | %6.1f MiB peak RSS\n" "$1" "$secs" \
        "$(echo "$bytes / $secs / 1000000" | bc -l)" "$synced" "$(echo "$bytes / $synced / 1000000" | bc -l)" \
        "$(echo "$rss / 1024" | bc -l)"
}

echo "Joining ${#segs[@]} page-cached segments, $((bytes / 1000000)) MB in total (output written and synced)"
measure "$work/cat.out" sh -c "cat \"\$@\" > \"$work/cat.out\"" sh "${segs[@]}"
row "cat (reference)"
measure "$work/cw.mov" "$tools/clipweave" "${segs[@]}" -o "$work/cw.mov"
row "clipweave"
measure "$work/rc.mov" "$tools/reelchain" "${segs[@]}" -o "$work/rc.mov"
row "reelchain"
measure "$work/cat.out" sh -c "cat \"\$@\" > \"$work/cat.out\"" sh "${segs[@]}"
row "cat again (reference)"
measure "$work/cat2.out" sh -c "cat \"\$0\" > \"$work/cat2.out\"" "$work/plain0.mov"
bytes=$(wc -c < "$work/plain0.mov")
row "cat of one segment (reference)"
measure "$work/bg.mov" "$tools/boxgraft" "${segs[0]}" "$work/plain0.mov" "$work/bg.mov"
row "boxgraft (one segment)"
