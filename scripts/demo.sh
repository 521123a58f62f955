#!/bin/bash
# The main job on a small generated 3D sample: a side-by-side clip with a
# left-eye marker, made with ffmpeg's lavfi sources, analysed by Duoscope.
set -euo pipefail
build=${1:-build}
demo=$build/demo
mkdir -p "$demo"
sample="$demo/Demo Clip SBS.mp4"
if [[ ! -s $sample ]]; then
    ffmpeg -v error -y \
        -f lavfi -i "testsrc2=s=640x360:r=24000/1001:d=4" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=4" \
        -filter_complex "[0:v]split[l][r];[l]drawbox=x=20:y=20:w=60:h=60:color=white:t=fill[lm];[r]crop=620:360:0:0,pad=640:360:20:0[rs];[lm][rs]hstack[v]" \
        -map "[v]" -map 1:a -c:v libx264 -preset veryfast -c:a aac -shortest \
        -metadata title="Duoscope demo" "$sample"
fi
"$build/bin/Duoscope" --analyze "$sample"
