#!/bin/bash
# Measures CABAC initialisation values (m, n) for cabac_init_idc 1 and 2
# against Debian's ffmpeg: by default the coefficient level contexts 227..275
# and the 8x8 transform's 399..435 (CABAC_PROBE_CONTEXTS chooses others).
#
#   derive-cabac-init.sh <cabac_init_probe> <work folder> [qp ...]
#
# (QPs besides 20 and 28, which are always measured; default 8 14 36 44.)
#
# x264 (through ffmpeg's libx264, "cabac-idc") writes streams of (IDR, P)
# picture pairs at one QP each; ffmpeg decodes them as the reference; the probe
# finds the initial state of every context the P slices read (16x16 pictures
# first: one macroblock, few contexts per slice; then 32x32 for the contexts
# that depend on neighbouring macroblocks), and "fit" turns the states at
# several QPs into (m, n). Prints "initType ctxIdx m n" (initType = idc + 1),
# then how the measured states compare with the decoder's table, and how those
# that differ compare when measured again one context at a time.
set -euo pipefail
probe=$1 work=$2
shift 2
qps=("$@")
[ ${#qps[@]} -gt 0 ] || qps=(8 14 36 44)
mkdir -p "$work"

make_stream() { # idc qp WxH name
    local idc=$1 qp=$2 size=$3 name=$4 n=1500
    local w=${size%x*} h=${size#*x}
    ffmpeg -v error -y \
        -f lavfi -i "testsrc2=s=96x96:r=25,noise=alls=30:allf=t,crop=$w:$h:'mod(n*3,64)':'mod(n*7,64)'" \
        -f lavfi -i "gradients=s=96x96:speed=0.05:r=25,format=yuv420p,noise=alls=4:allf=t,crop=$w:$h:'mod(n,64)':'mod(n*3,64)'" \
        -f lavfi -i "mandelbrot=s=96x96:r=25,format=yuv420p,crop=$w:$h:'mod(n*2,64)':'mod(n,64)'" \
        -f lavfi -i "testsrc2=s=96x96:r=25,format=yuv420p,boxblur=2,crop=$w:$h:'mod(n,64)':'mod(n*5,64)'" \
        -filter_complex "[0:v]trim=end_frame=$n[a];[1:v]trim=end_frame=$n[b];[2:v]trim=end_frame=$n[c];[3:v]trim=end_frame=$n[d];[a][b][c][d]concat=n=4,format=yuv420p" \
        -c:v libx264 -profile:v high \
        -x264-params "cabac-idc=$idc:qp=$qp:keyint=2:min-keyint=2:scenecut=0:bframes=0:ref=1:8x8dct=1:aq-mode=0:partitions=all" \
        "$work/$name.264"
    ffmpeg -v error -y -i "$work/$name.264" -f rawvideo -pix_fmt yuv420p "$work/$name.yuv"
}

measure() { # idc qp [known window]
    local idc=$1 qp=$2 known=${3:-} window=${4:-} name="idc$1_qp$2"
    make_stream "$idc" "$qp" 16x16 "${name}_16"
    "$probe" solve "$work/${name}_16.264" "$work/${name}_16.yuv" 16 16 $known $window \
        >"$work/$name.states" 2>"$work/${name}_16.log" || true
    make_stream "$idc" "$qp" 32x32 "${name}_32"
    cat "$work/$name.states" $known >"$work/$name.known"
    "$probe" solve "$work/${name}_32.264" "$work/${name}_32.yuv" 32 32 "$work/$name.known" $window \
        >"$work/$name.more" 2>"$work/${name}_32.log" || true
    echo "idc $idc qp $qp: $(cat "$work/$name.states" "$work/$name.more" | sort -u | wc -l) states" >&2
}
export -f make_stream measure
export probe work
export CABAC_PROBE_CONTEXTS=${CABAC_PROBE_CONTEXTS:-227-275,399-435}

# Mid QPs first: there slices are sparse enough to find states from nothing.
# Their states then bound the search at the other QPs, where most slices read
# many unknown contexts at once.
for idc in 1 2; do for qp in 20 28; do echo "$idc $qp"; done; done |
    xargs -P "$(nproc)" -n 2 bash -c 'measure "$0" "$1"'
cat "$work"/*.states "$work"/*.more | sort -u >"$work/mid.known"
for idc in 1 2; do for qp in "${qps[@]}"; do echo "$idc $qp"; done; done |
    xargs -P "$(nproc)" -n 2 bash -c 'measure "$0" "$1" "$work/mid.known" 40'
cat "$work"/*.states "$work"/*.more | cut -d' ' -f1-4 | sort -u >"$work/all.states"
"$probe" fit <"$work/all.states" || true
# The search over several unknown contexts at once can settle a rarely read
# context wrongly; what disagrees with the table is measured again alone,
# every other context taken from the table.
"$probe" check <"$work/all.states" | tee "$work/check.txt" || true
{ grep '^initType' "$work/check.txt" || true; } | while read -r _ type _ qp _ ctx _; do
    name="idc$((type - 1))_qp$qp"
    for size in 16 32; do
        CABAC_PROBE_CONTEXTS=${ctx%:} "$probe" solve "$work/${name}_$size.264" "$work/${name}_$size.yuv" \
            "$size" "$size" 2>/dev/null || true
    done
done | cut -d' ' -f1-4 | sort -u >"$work/alone.states"
echo "measured again alone:"
"$probe" check <"$work/alone.states"
