#!/bin/bash
# layout-bench.sh: what stretching a half side-by-side 1080p source back to
# full eyes costs, against the whole conversion at the "Balanced" preset,
# measured in the same run. The limit is 10 % of the conversion's wall time.
#
#   bench/layouts/layout-bench.sh <build dir> [frames]
#
# MV-HEVC target: StereoPacker times its own Lanczos step ("Scaling: <s> s")
# inside the conversion it runs. Side-by-side target: ffmpeg's graph that cuts
# and stretches the eyes (decode + graph, no encode) less a plain decode,
# against the whole command-line conversion of the same source.
set -euo pipefail
build=$(cd "${1:?usage: layout-bench.sh <build dir> [frames]}" && pwd)
frames=${2:-48}
kit=$build/kit/hd
[[ -f $kit/left_src.yuv ]] || "$build/bin/stereokit" --set hd --output "$build/kit" >/dev/null
work=$(mktemp -d /tmp/layout-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

raw=(-f rawvideo -pix_fmt yuv420p -s 1920x1080 -r 24000/1001)
ffmpeg -v error -y "${raw[@]}" -i "$kit/left_src.yuv" "${raw[@]}" -i "$kit/right_src.yuv" \
    -filter_complex "[0:v]scale=960:1080[a];[1:v]scale=960:1080[b];[a][b]hstack[v]" -map "[v]" \
    -frames:v "$frames" -c:v libx264 -preset veryfast -crf 16 -metadata:s:v:0 stereo_mode=left_right \
    "$work/half.mkv"

seconds() { # wall seconds of a command, its output in $work/last.log
    local start end
    start=$(date +%s%N)
    "$@" >"$work/last.log" 2>&1
    end=$(date +%s%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", (b - a) / 1e9 }'
}
percent() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", 100 * a / b }'; }

echo "layout-bench: $frames frames of 1920x1080 half side by side, Balanced preset"

# MV-HEVC: StereoPacker with the Balanced quality (0.7), as the engine runs it.
packer=$(seconds "$build/bin/tools/StereoPacker" "$work/half.mkv" "$work/out.mov" 0.7 --layout hsbs)
scaling=$(sed -n 's/.*Scaling: \([0-9.]*\) s.*/\1/p' "$work/last.log")
echo "MV-HEVC target: scaling ${scaling} s of ${packer} s conversion = $(percent "$scaling" "$packer") % (limit 10 %)"

# Side by side: the whole conversion through the command line.
mkdir -p "$work/config/Duoscope"
printf '[General]\noutputTarget=SBS 3D (MKV)\nqualityPreset=Balanced\n' >"$work/config/Duoscope/Duoscope.conf"
convert=$(XDG_CONFIG_HOME=$work/config seconds "$build/bin/Duoscope" --input "$work/half.mkv" --auto-convert \
    --output "$work/sbs")
graph="[0:v]split[a][b];[a]crop=960:1080:0:0,scale=1920:1080:flags=lanczos,setsar=1[l];"
graph+="[b]crop=960:1080:960:0,scale=1920:1080:flags=lanczos,setsar=1[r];[l][r]hstack=inputs=2[v]"
stretched=$(seconds ffmpeg -v error -i "$work/half.mkv" -filter_complex "$graph" -map "[v]" -f null -)
decoded=$(seconds ffmpeg -v error -i "$work/half.mkv" -map 0:v -f null -)
cost=$(awk -v a="$stretched" -v b="$decoded" 'BEGIN { d = a - b; printf "%.2f", d < 0 ? 0 : d }')
echo "SBS target: scaling ${cost} s (graph ${stretched} s - decode ${decoded} s) of ${convert} s conversion" \
    "= $(percent "$cost" "$convert") % (limit 10 %)"
