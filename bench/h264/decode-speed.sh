#!/bin/bash
# Decoding speed and memory of Duoscope's H.264 decoder (ldecod) on a 1080p
# High-profile CABAC stream, single-threaded, beside Debian's ffmpeg in plain C
# (-cpuflags 0) and with its SIMD, all measured in this run.
# Usage: bench/h264/decode-speed.sh [build dir] [frames]
# Figures use CPU time (user + sys) because the machine may be shared; wall
# time is printed too. Target: ldecod >= 0.5x ffmpeg plain C, RSS < 100 MiB.
set -euo pipefail
build=${1:-$(dirname "$0")/../../build}
frames=${2:-300}
ldecod=$build/bin/tools/ldecod
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -x "$ldecod" ] || { echo "ERROR: $ldecod not built" >&2; exit 1; }

echo "making a ${frames}-frame 1080p High-profile CABAC stream (x264 --preset medium)..."
ffmpeg -nostdin -loglevel error -f lavfi -i "testsrc2=size=1920x1080:rate=25" -frames:v "$frames" -pix_fmt yuv420p "$work/src.y4m"
x264 --quiet --profile high --preset medium --bframes 3 -o "$work/s.264" "$work/src.y4m" 2> /dev/null
rm -f "$work/src.y4m"

measure() { # name, command...
    local name=$1; shift
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" > /dev/null 2>&1
    read -r wall user sys rss < "$work/time"
    local cpu
    cpu=$(echo "$user + $sys" | bc -l)
    printf "%-28s %8.1f fps (CPU %6.2f s, wall %6.2f s, max RSS %4d MiB)\n" "$name" \
        "$(echo "$frames / $cpu" | bc -l)" "$cpu" "$wall" "$((rss / 1024))"
    echo "$cpu" > "$work/$name.cpu"
}

measure ldecod "$ldecod" -p InputFile="$work/s.264" -p OutputFile=/dev/null
measure ffmpeg-plain-c ffmpeg -nostdin -threads 1 -cpuflags 0 -i "$work/s.264" -f null -
measure ffmpeg-simd ffmpeg -nostdin -threads 1 -i "$work/s.264" -f null -
printf "ldecod speed vs ffmpeg plain C: %.2fx   vs ffmpeg SIMD: %.2fx\n" \
    "$(echo "$(cat "$work/ffmpeg-plain-c.cpu") / $(cat "$work/ldecod.cpu")" | bc -l)" \
    "$(echo "$(cat "$work/ffmpeg-simd.cpu") / $(cat "$work/ldecod.cpu")" | bc -l)"
