#!/bin/bash
# Photographs the window in each of its states (empty, queued, converting,
# complete, failed, About) under Xvfb, at 1200x700 and at the 800x400 minimum.
#   scripts/screenshots.sh [build-dir] [output-dir]
# Pictures land in <output-dir>/<size>/<state>.png (default docs/screenshots).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
out=${2:-$root/docs/screenshots}

command -v Xvfb >/dev/null || { echo "ERROR: Xvfb is missing (apt-get install xvfb)" >&2; exit 1; }
cmake --build "$build" --target screenshot_tour stereokit
# The 1080p set makes a conversion slow enough to be photographed mid-run.
"$build/bin/stereokit" --set hd --output "$build/kit"

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    [[ -e /tmp/.X11-unix/X${display#:} ]] && break
    sleep 0.1
done

status=0
for size in 1200x700 800x400; do
    DISPLAY=$display QT_QPA_PLATFORM=xcb "$build/bin/screenshot_tour" --output "$out/$size" --size "$size" \
        --kit "$build/kit/hd" || status=1
done
exit $status
