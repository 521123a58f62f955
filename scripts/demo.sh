#!/bin/bash
# The main job on a small generated 3D sample: a side-by-side clip with a
# left-eye marker (made with ffmpeg's lavfi sources) is analysed, then
# converted from the command line to a side-by-side movie and to MV-HEVC.
set -euo pipefail
build=${1:-build}
demo=$(realpath -m "$build/demo")
mkdir -p "$demo"
sample="$demo/Demo Clip.mp4"
if [[ ! -s $sample ]]; then
    ffmpeg -v error -y \
        -f lavfi -i "testsrc2=s=660x360:r=24000/1001:d=4" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=4" \
        -filter_complex "[0:v]split[a][b];[a]crop=640:360:0:0,drawbox=x=40:y=22:w=80:h=45:color=white:t=fill[l];[b]crop=640:360:20:0[r];[l][r]hstack[v]" \
        -map "[v]" -map 1:a -c:v libx264 -preset veryfast -c:a aac -shortest \
        -metadata title="Duoscope demo" "$sample"
fi
"$build/bin/Duoscope" --analyze "$sample"

# The demo keeps its settings to itself, not in the user's ~/.config.
export XDG_CONFIG_HOME=$demo/config
mkdir -p "$XDG_CONFIG_HOME/Duoscope"
for target in "SBS 3D (MKV)" "Apple Vision Pro (MV-HEVC)"; do
    printf '[General]\nqualityPreset=Balanced\noutputTarget=%s\n' "$target" > "$XDG_CONFIG_HOME/Duoscope/Duoscope.conf"
    rm -rf "$demo/output"
    "$build/bin/Duoscope" --input "$sample" --auto-convert --output "$demo/output"
    ls -l "$demo/output"
done
