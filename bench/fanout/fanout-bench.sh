#!/bin/bash
# Segment-parallel benchmark: the command line on a 1080p MVC title through the
# named-pipe route (A2a) and the two segment-parallel routes (A2b: two view
# files, A2c: interleaved), both targets, in the same run; then fanout-run.sh
# alone with 1, 2 and 4 workers pinned with taskset; then an estimate for a
# two-hour film.
# usage: fanout-bench.sh <build-dir> [work-dir] [pairs] [quality preset text]
set -euo pipefail
build=$(cd "$1" && pwd)
work=${2:-${TMPDIR:-/tmp}/fanout-bench.$$}
pairs=${3:-600}
quality=${4:-Low Quality}
mkdir -p "$work"
work=$(cd "$work" && pwd)
trap 'rm -rf "$work/out" "$work/bins" "$work/scratch"' EXIT

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg), cores: $(nproc), quality: $quality"
"$build/bin/stereokit" --set hd --frames "$pairs" --output "$work/kit" >/dev/null
set_dir=$work/kit/hd
source=$set_dir/cabac_b/movie.m2ts
source_bytes=$(stat -c %s "$source")
read -r width height < <(awk -F= '$1 == "width" { w = $2 } $1 == "height" { h = $2 } END { print w, h }' "$set_dir/set.info")

# One copy of the program per route: it finds the tools folder beside it first,
# so leaving tools out of that folder chooses the route.
make_bin() {
    local name=$1 tool
    shift
    mkdir -p "$work/bins/$name/tools"
    cp "$build/bin/Duoscope" "$work/bins/$name/"
    for tool in "$build/bin/tools/"*; do
        [[ " $* " == *" $(basename "$tool") "* ]] || ln -sf "$tool" "$work/bins/$name/tools/"
    done
}
make_bin A2a fanout-run.sh
make_bin A2b
make_bin A2c twinsever unitmerge

peak_sampler() { # prints the largest size of a folder seen while it runs
    local folder=$1 peak=0 now
    while [[ ! -e $work/stop ]]; do
        now=$(du -sb "$folder" 2>/dev/null | cut -f1)
        ((${now:-0} > peak)) && peak=$now
        sleep 0.2
    done
    echo "$peak"
}

declare -A wall
routes() { # the three routes for one target
    local target=$1 short route out sampler started ended peak movie output_bytes marker frames check secs
    short=SBS
    [[ $target == Apple* ]] && short=MV-HEVC
    mkdir -p "$work/config/Duoscope"
    printf '[General]\noutputTarget=%s\nqualityPreset=%s\n' "$target" "$quality" >"$work/config/Duoscope/Duoscope.conf"
    for route in A2a A2b A2c; do
        out=$work/out
        rm -rf "$out" "$work/stop"
        mkdir -p "$out"
        peak_sampler "$out" >"$work/peak" &
        sampler=$!
        started=$(date +%s.%N)
        XDG_CONFIG_HOME=$work/config "$work/bins/$route/Duoscope" --input "$source" --auto-convert \
            --output "$out" >"$work/$route-$short.log" 2>&1 || { tail -n 20 "$work/$route-$short.log"; exit 1; }
        ended=$(date +%s.%N)
        touch "$work/stop"
        wait "$sampler"
        peak=$(cat "$work/peak")
        movie=$(find "$out" -maxdepth 1 -type f -name '*.mov' -o -maxdepth 1 -type f -name '*.mkv' | grep -v _SBS.mov | head -n 1)
        output_bytes=$(stat -c %s "$movie")
        case $route in
        A2a) marker="Parallel pipeline NOT found" ;;
        A2b) marker="with DUAL-SPLIT" ;;
        A2c) marker="Using PARALLEL pipeline (" ;;
        esac
        grep -q "$marker" "$work/$route-$short.log" || { echo "ERROR: $route did not take its route"; exit 1; }
        frames=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets \
            -of default=nw=1:nk=1 "$movie" | head -n 1)
        check="frames=$frames"
        ((frames == pairs)) || check+=" (WRONG)"
        secs=$(echo "$ended - $started" | bc -l)
        wall[$route-$short]=$secs
        printf '%-5s %-8s %9.1f %9.2f %9.3f %11d %11d %s\n' "$route" "$short" "$secs" "$(echo "$pairs / $secs" | bc -l)" \
            "$(echo "$secs / ${wall[A2a-$short]}" | bc -l)" $((peak / 1000000)) \
            $(((3 * output_bytes / 2 + source_bytes) / 1000000)) "$check"
    done
}

printf '%-5s %-8s %9s %9s %9s %11s %11s %s\n' route target wall_s pairs/s vs_A2a peak_disk_MB limit_MB check
routes "SBS 3D (MKV)"

# Scaling: the script alone on the interleaved stream, side-by-side target.
echo
echo "fanout-run.sh alone, side by side, $pairs pairs of ${width}x$height:"
printf '%-8s %-10s %9s %12s %12s %16s\n' workers cpus total_s phase2_s pairs/s per_worker_vs_1
stream=$set_dir/cabac_b/interleaved.264
crf_quality=$(case $quality in Ultra*) echo 85 ;; High*) echo 80 ;; Bal* | Medium*) echo 65 ;; *) echo 45 ;; esac)
# The engine's CRF and speed for that quality, as it passes them.
read -r crf speed < <(case $quality in Ultra*) echo 18 medium ;; High*) echo 20 medium ;; Bal* | Medium*) echo 23 fast ;; *) echo 28 veryfast ;; esac)
cores=$(nproc)
for workers in 1 2 4; do
    cpus=$(seq -s, 0 $(((workers < cores ? workers : cores) - 1)))
    mkdir -p "$work/scratch"
    log=$work/scale-$workers.log
    started=$(date +%s.%N)
    taskset -c "$cpus" "$build/bin/tools/fanout-run.sh" "$stream" "$source" "$work/scratch/out.mkv" \
        --width "$width" --height "$height" --fps 24000/1001 --quality "$crf_quality" --crf "$crf" --speed "$speed" --audio-args "-c:a copy" \
        --workdir "$work/scratch" --workers "$workers" >"$log" 2>&1 || { tail -n 5 "$log"; exit 1; }
    ended=$(date +%s.%N)
    total=$(echo "$ended - $started" | bc -l)
    phase2=$(sed -n 's/.*Phase 2 complete: .*time \([0-9.]*\)s.*/\1/p' "$log")
    phase1=$(sed -n 's/.*Split into .* in \([0-9.]*\)s$/\1/p' "$log")
    phase3=$(sed -n 's/.*Phase 3 complete: time \([0-9.]*\)s.*/\1/p' "$log")
    rate=$(echo "$pairs / $phase2" | bc -l)
    [[ $workers == 1 ]] && single=$rate single_phase1=$phase1 single_phase3=$phase3
    if ((workers <= cores)); then
        ratio=$(printf '%.3f' "$(echo "$rate / $workers / $single" | bc -l)")
        [[ $workers == 2 ]] && efficiency=$ratio
    else
        ratio="n/a (${cores} cores)"
    fi
    printf '%-8s %-10s %9.1f %12.1f %12.2f %16s\n' "$workers" "$cpus" "$total" "$phase2" "$rate" "$ratio"
    rm -rf "$work/scratch"
done

# The machine's own ceiling: one-worker runs on every core at once, each pinned
# to its core and sharing nothing but the hardware. Whatever these lose against
# one run alone (memory bandwidth, caches, clock) no worker layout can win back.
if ((cores >= 2)); then
    for ((c = 0; c < cores; c++)); do
        mkdir -p "$work/scratch$c"
        taskset -c "$c" "$build/bin/tools/fanout-run.sh" "$stream" "$source" "$work/scratch$c/out.mkv" \
            --width "$width" --height "$height" --fps 24000/1001 --quality "$crf_quality" --crf "$crf" --speed "$speed" --audio-args "-c:a copy" \
            --workdir "$work/scratch$c" --workers 1 >"$work/alone-$c.log" 2>&1 &
    done
    wait
    combined=0
    for ((c = 0; c < cores; c++)); do
        phase2=$(sed -n 's/.*Phase 2 complete: .*time \([0-9.]*\)s.*/\1/p' "$work/alone-$c.log")
        combined=$(echo "$combined + $pairs / $phase2" | bc -l)
        rm -rf "$work/scratch$c"
    done
    printf '%-8s %-10s %9s %12s %12.2f %16.3f  <- %d one-worker runs at once, one per core (the machine'"'"'s ceiling)\n' \
        "$cores x 1" "each own" "" "" "$combined" "$(echo "$combined / $cores / $single" | bc -l)" "$cores"
fi

echo
printf '%-5s %-8s %9s %9s %9s %11s %11s %s\n' route target wall_s pairs/s vs_A2a peak_disk_MB limit_MB check
routes "Apple Vision Pro (MV-HEVC)"

# Two-hour film: 172,627 pairs at 24000/1001. Phase 2 scales with the cores at
# the measured per-worker rate and two-worker efficiency; Phase 1 (reading the
# stream once) and Phase 3 (one copy of the output) scale with the film's size.
film_pairs=172627
stream_bytes=$(stat -c %s "$stream")
echo
echo "Estimate for a two-hour film ($film_pairs pairs, this title's bytes per pair, same content):"
for c in 2 8 32; do
    echo "$c" | awk -v p="$film_pairs" -v r="$single" -v e="${efficiency:-1}" -v n="$pairs" \
        -v p1="$single_phase1" -v p3="$single_phase3" '{
        phase2 = p / ($1 * r * e); scale = p / n
        total = phase2 + (p1 + p3) * scale
        printf "  %2d cores: %7.1f h  (Phase 2 %.1f h, split and join %.2f h)\n", $1, total / 3600, phase2 / 3600, (p1 + p3) * scale / 3600
    }'
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "targets: parallel wall <= 1.05 x A2a; per-worker >= 0.9 x one worker; peak disk < 1.5 x output + source"
