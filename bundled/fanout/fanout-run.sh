#!/bin/bash
# fanout-run.sh: segment-parallel MVC decode and encode.
#
#   fanout-run.sh <stream.264> <audio source> <output>
#       --width W --height H --fps NUM/DEN --quality Q --audio-args "ARGS" --workdir DIR
#       [--mvhevc] [--maxrate MBPS] [--swap] [--dual-split <base.264> <dependent.mvc>]
#       [--hfov DEGREES] [--baseline MM] [--disparity-adjustment X] (with --mvhevc, handed to layerforge)
#       [--workers N] [--segment-size AUS] [--frame-md5] [--codec hevc|h264] [--hosts LIST|@FILE]
#       [--crf N --speed PRESET] (side by side with x265/x264: the engine's settings for the quality)
#
# Phase 1 cuts the stream (interleaved, or the two view files with --dual-split)
# at access units where decoding can start afresh; Phase 2 has GNU parallel run
# fanout-worker.sh (viewpump | twinrow | encoder) once per segment, as many at
# a time as there are cores, here or on the --hosts over SSH; Phase 3 joins the
# encoded segments without re-encoding. Only compressed bytes reach the disk:
# each segment's bytes, cut shortly before its worker starts, and its encoded
# result; decoded pictures live only in pipes.
#
# Standard output carries the progress lines the engine reads ("Phase 1",
# "Split into", "worker_<k> done", "PROGRESS: <done>/<total> frames, <k>/<n>
# segments" every 2 s in Phase 2, "Phase 2 … time", "Phase 3", "COMPLETE",
# "Total time:", "Output:"); failures are "ERROR: …" lines on standard error.
# --frame-md5 decodes only and writes the MD5 of every side-by-side frame, one
# per line, to <output>: a check that the segments put together give exactly
# the pictures of a single decode.
set -u

# Started with an empty search path, the few programs run by name (nproc,
# sort, ...) would fail in ways that say nothing about the cause.
export PATH=${PATH:-/usr/local/bin:/usr/bin:/bin}

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
started_ns=$(date +%s%N)

fail() {
    local message=$* avail=""
    # A tool that meets a full disk often cannot even write down why.
    [[ -n ${workdir:-} ]] && avail=$(df --output=avail -B1 "$workdir" 2>/dev/null | tail -n 1)
    [[ $avail =~ ^[[:space:]]*[0-9]+$ ]] && ((avail < 1048576)) && message+=" (No space left on device in $workdir)"
    echo "ERROR: $message" >&2
    echo "FAILED: $message"
    exit 1
}

usage() {
    echo "Usage: fanout-run.sh <stream.264> <audio source> <output> --width W --height H --fps NUM/DEN" \
        "--quality Q --audio-args ARGS --workdir DIR [--mvhevc] [--maxrate MBPS] [--swap]" \
        "[--dual-split BASE MVC] [--hfov DEGREES] [--baseline MM] [--disparity-adjustment X] [--workers N] [--segment-size AUS] [--frame-md5]" \
        "[--hosts LIST|@FILE] [--crf N --speed PRESET]" >&2
    exit 1
}

elapsed() { # seconds since a date +%s%N stamp, one decimal
    local now
    now=$(date +%s%N)
    awk -v a="$1" -v b="$now" 'BEGIN { printf "%.1f", (b - a) / 1e9 }'
}

# ---------------------------------------------------------------- arguments
(($# >= 3)) || usage
input=$1 audio_source=$2 output=$3
shift 3
width="" height="" fps="" quality="" audio_args="" workdir="" maxrate=""
spatial_args=()
mvhevc=0 swap=0 dual_base="" dual_mvc="" workers="" frame_md5=0 segment_size="" codec=hevc hosts_list="" crf="" speed=""
while (($#)); do
    case $1 in
    --width | --height | --fps | --quality | --audio-args | --workdir | --maxrate | --workers | --segment-size | --codec | --hosts | --crf | --speed)
        (($# >= 2)) || fail "$1 needs a value"
        name=${1#--}
        name=${name//-/_}
        [[ $name == hosts ]] && name=hosts_list
        printf -v "$name" '%s' "$2"
        shift 2
        ;;
    --hfov | --baseline | --disparity-adjustment)
        (($# >= 2)) || fail "$1 needs a value"
        # layerforge checks the value; every segment carries the same boxes.
        spatial_args+=("$1" "$2")
        shift 2
        ;;
    --mvhevc) mvhevc=1 && shift ;;
    --swap) swap=1 && shift ;;
    --frame-md5) frame_md5=1 && shift ;;
    --dual-split)
        (($# >= 3)) || fail "--dual-split needs the base and the MVC stream"
        dual_base=$2 dual_mvc=$3
        shift 3
        ;;
    *) fail "unknown argument: $1" ;;
    esac
done

[[ $width =~ ^[0-9]+$ && $height =~ ^[0-9]+$ ]] && ((width > 0 && height > 0 && width % 2 == 0 &&
    height % 2 == 0)) || fail "--width and --height must be positive even numbers (got '$width' x '$height')"
[[ $fps =~ ^([0-9]+)(/([0-9]+))?$ ]] || fail "--fps must be NUM/DEN (got '$fps')"
fps_num=$((10#${BASH_REMATCH[1]}))
fps_den=$((10#${BASH_REMATCH[3]:-1}))
((fps_num > 0 && fps_den > 0)) || fail "--fps must be positive (got '$fps')"
[[ $quality =~ ^[0-9]+(\.[0-9]+)?$ ]] || fail "--quality must be a number (got '$quality')"
[[ -z $maxrate || $maxrate =~ ^[0-9]+$ ]] || fail "--maxrate must be a whole number of Mbit/s (got '$maxrate')"
[[ -z $workers || ($workers =~ ^[0-9]+$ && $workers -ge 1) ]] || fail "--workers must be a positive number"
[[ $codec == hevc || $codec == h264 ]] || fail "--codec must be hevc or h264 (got '$codec')"
[[ -z $segment_size || ($segment_size =~ ^[0-9]+$ && $segment_size -ge 1) ]] ||
    fail "--segment-size must be a positive number"
[[ -n $workdir && -d $workdir && -w $workdir ]] || fail "work folder '$workdir' is not a writable folder"
if [[ -n $dual_base ]]; then
    for f in "$dual_base" "$dual_mvc"; do [[ -f $f && -r $f ]] || fail "cannot read stream $f"; done
else
    [[ -r $input && ! -d $input ]] || fail "cannot read stream $input"
fi
# Workers run in folders of their own, so every path is made absolute first.
absolute() { [[ $1 == /* ]] && printf '%s' "$1" || printf '%s' "$PWD/$1"; }
input=$(absolute "$input") output=$(absolute "$output") workdir=$(absolute "$workdir")
audio_source=$(absolute "$audio_source")
[[ -n $dual_base ]] && dual_base=$(absolute "$dual_base") dual_mvc=$(absolute "$dual_mvc")
output_dir=${output%/*}
output_dir=${output_dir:-/}
[[ -d $output_dir && -w $output_dir ]] || fail "output folder '$output_dir' is not a writable folder"

# ---------------------------------------------------------------- tools
# Our own programs lie beside this script; ffmpeg comes from the system.
tool() {
    local name=$1 path
    if [[ -x $script_dir/$name ]]; then
        path=$script_dir/$name
    else
        path=$(command -v "$name") || fail "$name not found (looked in $script_dir and on PATH)"
    fi
    printf '%s' "$path"
}
# The worker finds its own tools (viewpump, twinrow, layerforge) wherever it runs.
unitprobe=$(tool unitprobe) || exit 1
segmentplan=$(tool segmentplan) || exit 1
segmentjoin=$(tool segmentjoin) || exit 1
ffmpeg=$(tool ffmpeg) || exit 1
worker=$(tool fanout-worker.sh) || exit 1
command -v parallel >/dev/null || fail "GNU parallel not found on PATH (Debian package parallel)"
if [[ -n $dual_base ]]; then unitmerge=$(tool unitmerge) || exit 1; fi
if ((mvhevc && !frame_md5)); then reelchain=$(tool reelchain) || exit 1; fi

if [[ -z $workers ]]; then
    workers=$(nproc 2>/dev/null || echo 1)
fi
cores=$(nproc 2>/dev/null || echo 1)

# ---------------------------------------------------------------- clean-up
# Everything this run makes lives in one private folder of the work folder, and
# the movie gets the output's name only when it is complete, so an interrupted
# or failed run leaves nothing behind.
scratch=$(mktemp -d "$workdir/fanout.XXXXXX") || fail "cannot create a folder in $workdir"
output_name=$(basename "$output")
# The movie is made in the private folder when a rename can move it from there
# (a kill that leaves no time to clean up then leaves nothing in the output
# folder), else under a hidden name beside the output.
partial_dir=$scratch
[[ $(stat -c %d "$scratch") == $(stat -c %d "$output_dir") ]] || partial_dir=$output_dir
partial="$partial_dir/.${output_name%.*}.fanout-$$.${output_name##*.}"
[[ $output_name == *.* ]] || partial="$partial_dir/.$output_name.fanout-$$"

parallel_pid="" producer_pid="" follower_pid="" hosts=()
remote_cleanup() {
    # parallel's --cleanup removes what a finished job left on its host; this
    # removes the run's folder there after a failure or a cancellation too,
    # and first stops the workers parallel's own remote clean-up may not yet
    # have reached (each noted its process group in its segment's folder).
    local login target
    for login in "${hosts[@]}"; do
        target=$login
        [[ $target =~ ^[0-9]+/(.*)$ ]] && target=${BASH_REMATCH[1]}
        [[ $target == : ]] && continue
        timeout 20 "${ssh_words[@]}" -o BatchMode=yes -o ConnectTimeout=5 -- "$target" "for g in $remote_folder/fanout-segment.*/group; do [ -r \"\$g\" ] && kill -KILL -- -\$(cat \"\$g\"); done; rm -rf -- $remote_folder" \
            </dev/null >/dev/null 2>&1 &
    done
    wait
}

finish() {
    trap - EXIT
    # parallel stops its jobs, here and (through their SSH connections) on
    # the hosts, with its TERM sequence.
    if [[ -n $parallel_pid ]]; then
        kill -TERM "$parallel_pid" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$parallel_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$parallel_pid" 2>/dev/null
    fi
    for pid in $producer_pid $follower_pid; do kill -TERM "$pid" 2>/dev/null; done
    wait 2>/dev/null
    ((${#hosts[@]})) && remote_cleanup
    rm -rf "$scratch"
    rm -f "$partial"
}
trap 'finish' EXIT
trap 'trap "" TERM INT HUP; echo "fanout-run.sh: stopped" >&2; finish; exit 143' TERM INT HUP

# Long steps run in the background and are waited for: the shell runs a trap
# only between commands, and a wait ends at once when a signal arrives.
in_background() {
    "$@" &
    wait $!
}

# ---------------------------------------------------------------- hosts
# With --hosts the segments also run on other machines (GNU parallel's
# --sshlogin entries: "[N/]login", ":" for this one). Each is first asked over
# SSH for the version of its tools: a machine that cannot be reached, lacks
# the tools or has another version of them would spoil or lose its segments,
# so it is left out with one line saying why.
hosts=()
declare -A host_cores
ssh_command=${PARALLEL_SSH:-ssh}
# The command may carry options ("ssh -F config"), as parallel's --ssh does.
read -r -a ssh_words <<<"$ssh_command"
remote_folder=".duoscope-${scratch##*/}"
if [[ -n $hosts_list ]]; then
    if [[ $hosts_list == @* ]]; then
        [[ -r ${hosts_list#@} ]] || fail "cannot read the host list ${hosts_list#@}"
        mapfile -t candidates < <(sed -e 's/#.*//' -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' "${hosts_list#@}" |
            grep -v '^$')
    else
        IFS=',' read -r -a candidates <<<"$hosts_list"
        # "a, b" as a settings file may give it back.
        for i in "${!candidates[@]}"; do
            candidates[i]=$(printf '%s' "${candidates[i]}" | sed -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//')
        done
    fi
    ((${#candidates[@]})) || fail "the host list is empty"
    our_version=$("$worker" --version 2>&1) || fail "cannot tell the version of this machine's tools: $our_version"
    check_host() { # login index -> $scratch/host<index>: "ok <cores>" or the reason it is left out
        local target=$1 answer status
        # shellcheck disable=SC2016 # $PATH is the host's own
        answer=$(timeout 60 "${ssh_words[@]}" -o BatchMode=yes -o ConnectTimeout=15 -- "$target" \
            'PATH=$PATH:/usr/libexec/duoscope/tools; fanout-worker.sh --version && nproc' 2>&1)
        status=$?
        if ((status == 255 || status == 124)); then
            echo "unreachable ($(printf '%s\n' "$answer" | grep -v '^[[:space:]]*$' | tail -n 1))"
        elif ((status != 0)); then
            echo "lacks the tools ($(printf '%s\n' "$answer" | grep -v '^[[:space:]]*$' | tail -n 1))"
        elif [[ $(printf '%s\n' "$answer" | head -n -1) != "$our_version" ]]; then
            echo "has other versions of the tools ($(printf '%s\n' "$answer" | head -n -1 | paste -sd ' '), here" \
                "$(printf '%s\n' "$our_version" | paste -sd ' '))"
        else
            echo "ok $(printf '%s\n' "$answer" | tail -n 1)"
        fi
    }
    for i in "${!candidates[@]}"; do
        login=${candidates[i]}
        target=$login
        [[ $target =~ ^[0-9]+/(.*)$ ]] && target=${BASH_REMATCH[1]}
        [[ -n $target ]] || fail "empty host in the host list"
        if [[ $target == : ]]; then
            echo "ok $workers" >"$scratch/host$i"
        else
            check_host "$target" >"$scratch/host$i" &
        fi
    done
    wait
    for i in "${!candidates[@]}"; do
        login=${candidates[i]}
        target=$login
        [[ $target =~ ^[0-9]+/(.*)$ ]] && target=${BASH_REMATCH[1]}
        read -r verdict cores_there <"$scratch/host$i"
        if [[ $verdict == ok && $cores_there =~ ^[0-9]+$ ]]; then
            # This machine's share keeps the memory-bound worker count.
            [[ $login == : ]] && login="$workers/:"
            hosts+=("$login")
            host_cores[$login]=$cores_there
        else
            echo "Host $target left out: $(cat "$scratch/host$i")"
        fi
    done
    ((${#hosts[@]})) || fail "no host left to run the segments on"
    echo "Hosts: ${hosts[*]}"
fi
# The segments that run at once, here or on all the hosts together.
slots=$workers
if ((${#hosts[@]})); then
    slots=0
    for login in "${hosts[@]}"; do
        if [[ $login =~ ^([0-9]+)/ ]]; then
            ((slots += BASH_REMATCH[1]))
        else
            ((slots += host_cores[$login]))
        fi
    done
fi

# ---------------------------------------------------------------- Phase 1: split
phase1_ns=$(date +%s%N)
if [[ -n $dual_base ]]; then
    echo "Phase 1: finding split points in $(basename "$dual_base") + $(basename "$dual_mvc")"
    in_background "$unitprobe" "$dual_base" >"$scratch/base.units" 2>"$scratch/probe.log" ||
        fail "unitprobe failed on $dual_base: $(tail -n 1 "$scratch/probe.log")"
    in_background "$unitprobe" "$dual_mvc" >"$scratch/mvc.units" 2>"$scratch/probe.log" ||
        fail "unitprobe failed on $dual_mvc: $(tail -n 1 "$scratch/probe.log")"
    base_count=$(wc -l <"$scratch/base.units")
    mvc_count=$(wc -l <"$scratch/mvc.units")
    # unitmerge tolerates a few unpaired units at the end; more is a broken pair of streams.
    diff=$((base_count - mvc_count))
    ((diff <= 5 && diff >= -5)) || fail "access unit count mismatch: base=$base_count, MVC=$mvc_count"
    # One line per access unit: index, base offset, MVC offset, random access.
    # Anchor pictures are marked in the dependent view (and IDRs in the base),
    # and an anchor is an anchor for every view of its access unit.
    paste -d ' ' "$scratch/base.units" "$scratch/mvc.units" |
        awk 'NF == 8 { print $1, $2, $6, ($4 == 1 || $8 == 1) ? 1 : 0 }' >"$scratch/units"
else
    echo "Phase 1: finding split points in $(basename "$input")"
    in_background "$unitprobe" "$input" >"$scratch/probe.units" 2>"$scratch/probe.log" ||
        fail "unitprobe failed on $input: $(tail -n 1 "$scratch/probe.log")"
    awk '{ print $1, $2, 0, $4 }' "$scratch/probe.units" >"$scratch/units"
fi
units=$(wc -l <"$scratch/units")
((units > 0)) || fail "no access unit found in the stream"

# Segments: about four per job slot in whole rounds of the slots, never
# shorter than 24 access units (--segment-size sets the length instead), each
# cut at the anchor nearest to an even share of the film; a segment whose
# first anchor is not an IDR decodes from the anchor before it and drops that
# warm-up. plan: index start end warm-up start (access unit indexes, end
# exclusive).
plan_args=(--slots "$slots")
[[ -n $segment_size ]] && plan_args+=(--segment-size "$segment_size")
in_background "$segmentplan" "${plan_args[@]}" --stream "${dual_base:-$input}" "$scratch/units" \
    >"$scratch/plan" 2>"$scratch/plan.log" || fail "segmentplan failed: $(tail -n 1 "$scratch/plan.log")"
segments=$(wc -l <"$scratch/plan")
((segments > 0)) || fail "cannot write the segment plan in $scratch"
((workers > segments)) && workers=$segments
((slots > segments)) && slots=$segments

warm_total=$(awk '{ t += $2 - $4 } END { print t + 0 }' "$scratch/plan")
echo "Split into $segments segments of $units access units ($slots workers, $warm_total warm-up pictures)" \
    "in $(elapsed "$phase1_ns")s"

# ---------------------------------------------------------------- encoders
threads=$((cores / workers))
((threads < 1)) && threads=1
if ((frame_md5)); then
    mode="frame MD5"
elif ((mvhevc)); then
    mode="MV-HEVC"
    layerforge_args=(--width "$width" --height "$height" --fps "$fps_num/$fps_den" --quality "$quality"
        --threads "$threads")
    [[ -n $maxrate ]] && layerforge_args+=(--maxrate "$maxrate")
    layerforge_args+=("${spatial_args[@]}")
else
    mode="SBS"
    # The same encoder choice as the engine: VideoToolbox where ffmpeg has it,
    # otherwise x265 at the CRF and speed preset that stand for the quality.
    if "$ffmpeg" -hide_banner -encoders 2>/dev/null |
        awk -v want="${codec}_videotoolbox" '$2 == want { f = 1 } END { exit !f }'; then
        video_args=(-c:v "${codec}_videotoolbox" -q:v "$quality" -realtime 0)
    else
        # The engine's table decides what a quality means for x265 and x264.
        [[ $crf =~ ^[0-9]+$ && $speed =~ ^[a-z]+$ ]] ||
            fail "a software encode needs --crf and --speed (got '$crf' and '$speed')"
        preset=$speed
        # Each worker's encoder gets its share of the cores, so the decoders and
        # encoders of all workers together keep the machine busy without
        # fighting over it.
        if [[ $codec == h264 ]]; then
            video_args=(-c:v libx264 -preset "$preset" -crf "$crf" -threads "$threads")
        else
            video_args=(-c:v libx265 -preset "$preset" -crf "$crf"
                -x265-params "pools=$threads:frame-threads=$((threads < 2 ? 1 : 2)):log-level=error")
        fi
    fi
    [[ -n $maxrate ]] && video_args+=(-maxrate "${maxrate}M" -bufsize "$((2 * maxrate))M")
    video_args+=(-pix_fmt yuv420p)
fi

# ---------------------------------------------------------------- Phase 2: workers
# Writes the compressed bytes of access units [from, to) to standard output.
feed() {
    local from=$1 to=$2 file=$3 column=$4 first last
    first=$(awk -v i="$from" -v c="$column" 'NR == i + 1 { print $c; exit }' "$scratch/units")
    if ((to < units)); then
        last=$(awk -v i="$to" -v c="$column" 'NR == i + 1 { print $c; exit }' "$scratch/units")
        dd if="$file" bs=4M iflag=skip_bytes,count_bytes skip="$first" count=$((last - first)) status=none
    else
        dd if="$file" bs=4M iflag=skip_bytes skip="$first" status=none
    fi
}
feed_segment() {
    if [[ -n $dual_base ]]; then
        "$unitmerge" <(feed "$1" "$2" "$dual_base" 2) <(feed "$1" "$2" "$dual_mvc" 3) -
    else
        feed "$1" "$2" "$input" 2
    fi
}

last_message() { # the last meaningful line a tool wrote
    # ffmpeg ends "Error initializing output stream 0:1 -- " with an empty
    # reason when its muxer gave the reason on the line before.
    grep -v '^[[:space:]]*$' "$1" 2>/dev/null | tail -n 2 |
        awk '{ line[NR] = $0 } END { if (NR == 2 && line[2] ~ /--[[:space:]]*$/) print line[1] " " line[2]; else print line[NR] }'
}

if ((mvhevc && !frame_md5)); then
    # The sound is prepared beside the workers: the source's first audio track,
    # cut to the length of the film's pictures so that both end together.
    ffprobe=$(tool ffprobe) || exit 1
    if "$ffprobe" -v error -select_streams a:0 -show_entries stream=index -of csv=p=0 \
        "$audio_source" 2>/dev/null | grep -q .; then
        has_audio=1
        duration=$(awk -v f="$units" -v n="$fps_num" -v d="$fps_den" 'BEGIN { printf "%.6f", f * d / n }')
        # shellcheck disable=SC2086 # the audio arguments are a word list by design
        "$ffmpeg" -hide_banner -nostdin -y -loglevel error -i "$audio_source" -map 0:a:0 -vn \
            $audio_args -t "$duration" -f mov "$scratch/audio.mov" 2>"$scratch/audio.log" &
        audio_pid=$!
    else
        has_audio=0
    fi
fi

# GNU parallel runs the segments, on this machine's cores or on the hosts. A
# job is one line of $scratch/jobs: segment, first access unit fed (warm-up
# included), warm-up pictures, picture pairs, the segment's clock offset, and
# its first and end access unit. The segment's bytes are cut into in/seg<k>.264
# just before parallel may need them and removed once its job is done, so the
# disk holds a few segments of the stream, never a second copy of it.
case $mode in
"frame MD5") worker_mode=md5 extension=md5 encoder_args=() ;;
MV-HEVC) worker_mode=mvhevc extension=mov encoder_args=("${layerforge_args[@]}") ;;
*) worker_mode=sbs extension=ts encoder_args=("$fps_num/$fps_den" "${video_args[@]}" -output_ts_offset "{5}") ;;
esac
mkdir -p "$scratch/in" "$scratch/out" "$scratch/results" || fail "cannot create a folder in $scratch"
: >"$scratch/jobs"
: >"$scratch/joblog"
# shellcheck disable=SC2054 # "now,fail=1" is one word
parallel_args=(--will-cite --colsep ' ' --joblog "$scratch/joblog" --results "$scratch/results/{1}"
    --halt now,fail=1 --quote)
if ((${#hosts[@]})); then
    printf '%s\n' "${hosts[@]}" >"$scratch/sshlogins"
    retries=$((${#hosts[@]} + 1))
    ((retries > 4)) && retries=4
    # The files travel under the folder this run alone uses on every host,
    # and only the segment's bytes go out and its encoded result comes back.
    parallel_args+=(--sshloginfile "$scratch/sshlogins" --ssh "$ssh_command" --retries "$retries"
        --workdir "$remote_folder" --transferfile "in/seg{1}.264" --return "out/seg{1}.$extension" --cleanup)
    # A machine finds the worker in its tools folder when that is on its
    # search path, else where the package puts it; this machine's jobs use
    # the worker beside this script.
    # shellcheck disable=SC2016 # expanded by the job's own shell
    worker_command=(/bin/bash -c 'w=$1; shift; [ "${PARALLEL_SSHLOGIN:-:}" = : ] || w=fanout-worker.sh
PATH=$PATH:/usr/libexec/duoscope/tools exec "$w" "$@"' fanout-worker "$worker")
else
    parallel_args+=(--jobs "$workers")
    worker_command=("$worker")
fi
worker_command+=("in/seg{1}.264" "out/seg{1}.$extension" "$worker_mode" "$width" "$height" "$swap" "{2}" "{3}"
    "{4}" -- "${encoder_args[@]}")

# Keeps parallel fed with segments cut ahead of it, a few per job slot.
produce_jobs() {
    local n=0 k s e w done_seq ahead=$((slots + 2))
    while read -r k s e w; do
        while :; do
            # Segments whose jobs are done need their bytes no more.
            while read -r done_seq; do
                read -r done_k _ <<<"$(sed -n "${done_seq}p" "$scratch/jobs")"
                rm -f "$scratch/in/seg$done_k.264"
            done < <(awk 'NR > 1 && $7 == 0 && $8 == 0 { print $1 }' "$scratch/joblog" 2>/dev/null)
            local waiting=("$scratch"/in/seg*.264)
            [[ -e ${waiting[0]} ]] || waiting=()
            ((${#waiting[@]} < ahead)) && break
            [[ -e $scratch/parallel.done ]] && return 0
            sleep 0.2
        done
        feed_segment "$w" "$e" >"$scratch/in/seg$k.264" 2>"$scratch/in/feed$k.log" ||
            { echo "ERROR: cannot cut segment $k: $(last_message "$scratch/in/feed$k.log")" >&2 && return 1; }
        if grep -q 'ERROR' "$scratch/in/feed$k.log"; then
            echo "ERROR: segment $k (access units $s-$((e - 1))): unitmerge: $(grep -h 'ERROR' \
                "$scratch/in/feed$k.log" | tail -n 1)" >&2
            return 1
        fi
        offset=$(awk -v s="$s" -v n="$fps_num" -v d="$fps_den" 'BEGIN { printf "%.9f", 1 + s * d / n }')
        echo "$k $w $((s - w)) $((e - s)) $offset $s $e" >>"$scratch/jobs"
        echo "$k $w $((s - w)) $((e - s)) $offset"
        ((n += 1))
    done
}

# The work of Phase 2 in picture pairs, warm-up included, as one line the
# engine reads every few seconds: "PROGRESS: <done>/<total> frames, <k>/<n>
# segments", counted from parallel's job log, where a segment appears once it
# is done; "worker_<k> done" names each one with its host.
work_total=$(awk '{ n += $3 - $4 } END { print n + 0 }' "$scratch/plan")
echo 1 >"$scratch/reported"
report_done() {
    local seq host runtime exitval signal k warm pairs s e frames=0 finished=0
    while IFS=$'\t' read -r seq host _ runtime _ _ exitval signal _; do
        ((exitval == 0 && signal == 0)) || continue
        read -r k _ warm pairs _ <<<"$(sed -n "${seq}p" "$scratch/jobs")"
        ((frames += warm + pairs, finished += 1))
    done < <(tail -n +2 "$scratch/joblog")
    local reported line
    reported=$(cat "$scratch/reported")
    line=$reported
    while IFS=$'\t' read -r seq host _ runtime _ _ exitval signal _; do
        ((line += 1))
        ((exitval == 0 && signal == 0)) || continue
        read -r k _ _ _ _ s e <<<"$(sed -n "${seq}p" "$scratch/jobs")"
        [[ $host == : ]] && host="this machine"
        echo "worker_$k done: $((e - s)) frames in ${runtime// /}s on $host"
    done < <(tail -n +$((reported + 1)) "$scratch/joblog")
    echo "$line" >"$scratch/reported"
    echo "PROGRESS: $frames/$work_total frames, $finished/$segments segments"
}
follow_joblog() {
    while sleep 2; do report_done; done
}

phase2_ns=$(date +%s%N)
echo "Phase 2: decoding and encoding $segments segments ($mode, $slots workers, $threads encoder threads each)"
# Longest segments first: the short ones then fill the gaps at the end, so the
# workers finish together.
awk '{ print $3 - $4, $0 }' "$scratch/plan" | sort -s -k1,1nr | cut -d' ' -f2- >"$scratch/order"
follow_joblog &
follower_pid=$!
mkfifo "$scratch/queue" || fail "cannot create a pipe in $scratch"
(cd "$scratch" && produce_jobs <"$scratch/order" >"$scratch/queue" 2>"$scratch/producer.log") &
producer_pid=$!
(cd "$scratch" && PARALLEL_HOME=$scratch/parallel exec parallel "${parallel_args[@]}" "${worker_command[@]}" \
    <"$scratch/queue" >/dev/null 2>"$scratch/parallel.log") &
parallel_pid=$!
wait "$parallel_pid"
result=$?
parallel_pid=""
touch "$scratch/parallel.done"
# A producer still waiting for parallel to read would wait for ever.
((result == 0)) || kill -TERM "$producer_pid" 2>/dev/null
wait "$producer_pid"
produced=$?
producer_pid=""
kill "$follower_pid" 2>/dev/null
wait "$follower_pid" 2>/dev/null
follower_pid=""
producer_error=$(sed -n 's/^ERROR: //p' "$scratch/producer.log" | tail -n 1)
((result == 0 && produced != 0)) && fail "${producer_error:-cannot cut the segments}"
if ((result != 0)); then
    # The segment that failed for good, with its worker's own words.
    failed_seq=$(awk -F '\t' 'NR > 1 && $7 != 0 && $8 == 0 { print $1; exit }' "$scratch/joblog")
    [[ -z $failed_seq ]] && failed_seq=$(awk -F '\t' 'NR > 1 && $8 != 0 { print $1; exit }' "$scratch/joblog")
    if [[ -n $failed_seq ]]; then
        read -r k _ _ _ _ s e <<<"$(sed -n "${failed_seq}p" "$scratch/jobs")"
        host=$(awk -F '\t' -v q="$failed_seq" '$1 == q { print $2; exit }' "$scratch/joblog")
        message=$(last_message "$scratch/results/$k.err")
        [[ -z $message ]] && ((${#hosts[@]})) && message="the host $host did not run it"
        fail "segment $k (access units $s-$((e - 1))): ${message:-worker failed}"
    fi
    [[ -n $producer_error ]] && fail "$producer_error"
    fail "GNU parallel failed: $(last_message "$scratch/parallel.log")"
fi
report_done
# Each machine's share and rate, and what travelled per segment.
awk -F '\t' 'NR == FNR { pairs[FNR] = $3 + $4; next }
    FNR > 1 && $7 == 0 && $8 == 0 {
        h = $2; n[h]++; p[h] += pairs[$1]; t[h] += $4; sent[h] += $5; back[h] += $6
        if (!(h in first) || $3 < first[h]) first[h] = $3
        if ($3 + $4 > last[h]) last[h] = $3 + $4
    }
    END {
        for (h in n)
            printf "Host %s: %d segments, %d pairs decoded in %.1f s (%.2f pairs/s), %.0f bytes out and %.0f back per segment\n",
                h == ":" ? "(this machine)" : h, n[h], p[h], last[h] - first[h], p[h] / (last[h] - first[h] > 0 ? last[h] - first[h] : 1),
                sent[h] / n[h], back[h] / n[h]
    }' <(tr ' ' '\t' <"$scratch/jobs") "$scratch/joblog" | sort
echo "Phase 2 complete: $units frames, time $(elapsed "$phase2_ns")s"

# ---------------------------------------------------------------- Phase 3: join
phase3_ns=$(date +%s%N)
for ((k = 0; k < segments; k++)); do grep -h '^viewpump: concealed' "$scratch/results/$k" 2>/dev/null; done
echo "Phase 3: Concat $segments segments"
outputs=()
for ((k = 0; k < segments; k++)); do outputs+=("$scratch/out/seg$k.$extension"); done
if ((frame_md5)); then
    in_background "$segmentjoin" --lines "$units" "${outputs[@]}" >"$partial" 2>"$scratch/join.log" ||
        fail "join: $(last_message "$scratch/join.log" | sed 's/^ERROR: //')"
elif ((mvhevc)); then
    # reelchain, not clipweave or ffmpeg + boxgraft: it copies every segment's
    # samples once, keeps the first segment's sample entry (lhvC and the stereo
    # boxes) byte for byte, places the segments on one continuous timeline at
    # the exact rate layerforge wrote, and adds the audio in the same pass.
    # clipweave has no audio, so the sound would need another full copy of the
    # movie, and ffmpeg's concatenation drops lhvC, which boxgraft would then
    # have to put back in a third copy.
    audio_option=()
    if ((has_audio)); then
        wait "$audio_pid" || fail "audio: ffmpeg failed: $(last_message "$scratch/audio.log")"
        audio_option=(--audio "$scratch/audio.mov")
    fi
    in_background "$reelchain" "${outputs[@]}" "${audio_option[@]}" --output "$partial" 2>"$scratch/join.log" ||
        fail "join: reelchain failed: $(last_message "$scratch/join.log")"
    frames=$(sed -n 's/.*Done: \([0-9]*\) video samples.*/\1/p' "$scratch/join.log")
    [[ $frames == "$units" ]] || fail "join: reelchain wrote ${frames:-0} frames, expected $units"
    rm -f "${outputs[@]}"
else
    # MPEG-TS segments join by plain concatenation, and each one already
    # carries the film's own clock, so the segments stream into one remux that
    # adds the sound; each is removed as soon as it has been read, which keeps
    # the disk from holding the film twice. (Each segment's continuity counters
    # start afresh, so the demuxer flags the packet before a seam as corrupt;
    # its bytes are whole and ffmpeg keeps it.)
    container_args=()
    case ${output_name##*.} in
    mov | MOV | mp4 | MP4 | m4v)
        container_args=(-movflags +faststart)
        [[ $codec == hevc ]] && container_args+=(-tag:v hvc1)
        ;;
    esac
    join_sbs() {
        # shellcheck disable=SC2086 # the audio arguments are a word list by design
        "$segmentjoin" --remove "${outputs[@]}" 2>"$scratch/segments.log" |
            "$ffmpeg" -hide_banner -nostdin -y -loglevel error -f mpegts -i pipe:0 -i "$audio_source" \
            -map 0:v:0 -map '1:a:0?' -c:v copy -metadata:s:v:0 stereo_mode=left_right "${container_args[@]}" \
            $audio_args -shortest "$partial" 2>"$scratch/join.log"
        local status=("${PIPESTATUS[@]}")
        ((status[1] == 0)) || exit 2
        ((status[0] == 0)) || exit 3
    }
    in_background join_sbs
    case $? in
    0) ;;
    3) fail "join: $(last_message "$scratch/segments.log" | sed 's/^ERROR: //')" ;;
    *) fail "join: ffmpeg failed: $(last_message "$scratch/join.log")" ;;
    esac
fi
[[ -s $partial ]] || fail "join: nothing was written"
mv -f "$partial" "$output" || fail "cannot move the finished movie to $output"
echo "Phase 3 complete: time $(elapsed "$phase3_ns")s"

size=$(stat -c %s "$output")
echo "COMPLETE: $units frames in $segments segments"
echo "Total time: $(elapsed "$started_ns")s"
echo "Output: $output ($((size / 1000000)) MB)"
