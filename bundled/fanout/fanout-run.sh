#!/bin/bash
# fanout-run.sh: segment-parallel MVC decode and encode.
#
#   fanout-run.sh <stream.264> <audio source> <output>
#       --width W --height H --fps NUM/DEN --quality Q --audio-args "ARGS" --workdir DIR
#       [--mvhevc] [--maxrate MBPS] [--swap] [--dual-split <base.264> <dependent.mvc>]
#       [--hfov DEGREES] [--baseline MM] [--disparity-adjustment X] (with --mvhevc, handed to layerforge)
#       [--workers N] [--segment-size AUS] [--frame-md5] [--codec hevc|h264]
#
# Phase 1 cuts the stream (interleaved, or the two view files with --dual-split)
# at access units where decoding can start afresh; Phase 2 runs one
# viewpump | twinrow | encoder pipeline per segment, as many at a time as there
# are cores; Phase 3 joins the encoded segments without re-encoding. Only
# compressed bytes reach the disk: a worker reads its byte range of the source
# through a pipe, and decoded pictures live only in pipes.
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
started=$SECONDS
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
        "[--dual-split BASE MVC] [--hfov DEGREES] [--baseline MM] [--disparity-adjustment X] [--workers N] [--segment-size AUS] [--frame-md5]" >&2
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
mvhevc=0 swap=0 dual_base="" dual_mvc="" workers="" frame_md5=0 segment_size="" codec=hevc
while (($#)); do
    case $1 in
    --width | --height | --fps | --quality | --audio-args | --workdir | --maxrate | --workers | --segment-size | --codec)
        (($# >= 2)) || fail "$1 needs a value"
        name=${1#--}
        name=${name//-/_}
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
viewpump=$(tool viewpump) || exit 1
twinrow=$(tool twinrow) || exit 1
unitprobe=$(tool unitprobe) || exit 1
ffmpeg=$(tool ffmpeg) || exit 1
if [[ -n $dual_base ]]; then unitmerge=$(tool unitmerge) || exit 1; fi
if ((mvhevc && !frame_md5)); then
    layerforge=$(tool layerforge) || exit 1
    reelchain=$(tool reelchain) || exit 1
fi

if [[ -z $workers ]]; then
    workers=$(nproc 2>/dev/null || echo 1)
fi
cores=$(nproc 2>/dev/null || echo 1)
# The CPUs this run may use, one per line (nproc counts the same set).
allowed_cpus() {
    awk '/^Cpus_allowed_list:/ {
        n = split($2, parts, ",")
        for (i = 1; i <= n; i++) {
            if (split(parts[i], r, "-") == 2) { for (c = r[1]; c <= r[2]; c++) print c }
            else print parts[i]
        }
    }' /proc/self/status 2>/dev/null
}

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

descendants() {
    local child
    for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do
        descendants "$child"
        echo "$child"
    done
}

stop_children() {
    local pids p
    pids=$(descendants $$)
    [[ -z $pids ]] && return
    kill -TERM $pids 2>/dev/null
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        local alive=""
        for p in $pids; do kill -0 "$p" 2>/dev/null && alive+=" $p"; done
        [[ -z $alive ]] && return
        sleep 0.1
    done
    kill -KILL $pids 2>/dev/null
}

finish() {
    trap - EXIT
    stop_children
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

# Segments: about four per worker, so that a slow stretch of film does not
# leave the other workers idle at the end, but never shorter than 24 access
# units (--segment-size sets the length instead). Each cut is the random access
# point nearest to an even share of the film, so the segments come out as
# equal as the stream allows; cutting at the first point past a fixed length
# instead leaves a short remainder, or one segment more than the workers can
# take in a round, and one core idles while the last segment runs.
# A segment starts at a random access point; one that starts at an anchor that
# is not an IDR may have leading pictures that refer to the GOP before it, so
# its worker starts decoding at the previous random access point and drops the
# pictures of that warm-up stretch. Output order keeps the pictures of each
# decode-order range together, so the segments' pictures in order are exactly
# the pictures of one decode.
# segments file: index start end warmup (access unit indexes, end exclusive)
awk -v units="$units" -v want=$((workers * 4)) -v min="${segment_size:-24}" -v fixed="${segment_size:-0}" '
    NR == 1 { firstIsRap = $4 }
    $4 && NR > 1 { raps[++count] = NR - 1 }
    END {
        if (!fixed) {
            pieces = want
            if (units / pieces < min) pieces = int(units / min)
        } else {
            pieces = int((units + fixed - 1) / fixed)
        }
        if (pieces < 1) pieces = 1
        n = 0; start[n++] = 0; j = 1
        for (k = 1; k < pieces; k++) {
            target = k * units / pieces
            # The nearest random access point to the target that leaves both
            # neighbours at least half the shortest length.
            best = -1
            for (; j <= count; j++) {
                r = raps[j]
                if (r - start[n - 1] < min / 2) continue
                if (units - r < min / 2) break
                if (best >= 0 && (r - target) * (r - target) >= (best - target) * (best - target)) break
                best = r
            }
            if (best >= 0) start[n++] = best
        }
        lastRap = firstIsRap ? 0 : -1; j = 1
        for (k = 0; k < n; k++) {
            end = (k + 1 < n) ? start[k + 1] : units
            while (j <= count && raps[j] < start[k]) lastRap = raps[j++]
            warm = (k == 0) ? 0 : (lastRap < 0 ? start[k] : lastRap)
            print k, start[k], end, warm
        }
    }' "$scratch/units" >"$scratch/segments"

# An IDR needs no warm-up: nothing after it refers to anything before it.
is_idr() { # access unit index -> status 0 when it holds an IDR slice
    local offset size file=$input list=$scratch/probe.units
    [[ -n $dual_base ]] && file=$dual_base list=$scratch/base.units
    read -r offset size < <(awk -v i="$1" '$1 == i { print $2, $3; exit }' "$list")
    dd if="$file" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$size" status=none \
        >"$scratch/unit.264" 2>/dev/null
    "$unitprobe" --nal "$scratch/unit.264" 2>/dev/null | awk '$3 == 5 { found = 1 } END { exit !found }'
}
while read -r k s e w; do
    if ((w < s)) && is_idr "$s"; then w=$s; fi
    echo "$k $s $e $w"
done <"$scratch/segments" >"$scratch/plan"
segments=$(wc -l <"$scratch/plan")
((segments > 0)) || fail "cannot write the segment plan in $scratch"
((workers > segments)) && workers=$segments

warm_total=$(awk '{ t += $2 - $4 } END { print t + 0 }' "$scratch/plan")
echo "Split into $segments segments of $units access units ($workers workers, $warm_total warm-up pictures)" \
    "in $(elapsed "$phase1_ns")s"

# ---------------------------------------------------------------- encoders
sbs_width=$((2 * width))
frame_bytes=$((sbs_width * height * 3 / 2))
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
        case ${quality%%.*} in
        85) crf=18 preset=medium ;;
        80) crf=20 preset=medium ;;
        65) crf=23 preset=fast ;;
        45) crf=28 preset=veryfast ;;
        *) crf=$((51 - ${quality%%.*} * 51 / 100)) preset=medium ;;
        esac
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

drop_frames() { # drops the first $1 side-by-side frames
    if (($1 > 0)); then tail -c +$(($1 * frame_bytes + 1)); else cat; fi
}

last_message() { # the last meaningful line a tool wrote
    # ffmpeg ends "Error initializing output stream 0:1 -- " with an empty
    # reason when its muxer gave the reason on the line before.
    grep -v '^[[:space:]]*$' "$1" 2>/dev/null | tail -n 2 |
        awk '{ line[NR] = $0 } END { if (NR == 2 && line[2] ~ /--[[:space:]]*$/) print line[1] " " line[2]; else print line[NR] }'
}

run_worker() {
    local k=$1 s=$2 e=$3 w=$4 dir="$scratch/seg$1" status
    # A worker kept on its own cores keeps its caches warm; moved around among
    # the other workers' threads it ran about a sixth slower.
    [[ -n ${5:-} ]] && taskset -pc "$5" "$BASHPID" >/dev/null 2>&1
    # Every tool's command line names the work folder, so that the engine's
    # sweep after a cancellation finds them.
    mkdir -p "$dir" && cd "$dir" || exit 1
    local started_at
    started_at=$(date +%s%N)
    local swap_word=()
    ((swap)) && swap_word=(swap)
    local offset
    # The segment is stamped on the film's own clock. The extra second keeps the
    # first decode times of every segment, which come before its first picture,
    # above zero: the muxer would otherwise shift segment 0 alone.
    offset=$(awk -v s="$s" -v n="$fps_num" -v d="$fps_den" 'BEGIN { printf "%.9f", 1 + s * d / n }')
    {
        feed_segment "$w" "$e" 2>feed.log |
            "$viewpump" -p InputFile=/dev/stdin -p OutputFile="$dir/output.yuv" -p DecodeAllLayers=1 2>viewpump.log |
            "$twinrow" "$width" "$height" "${swap_word[@]}" 2>twinrow.log |
            drop_frames $((s - w)) |
            if ((frame_md5)); then
                "$ffmpeg" -hide_banner -nostdin -loglevel error -f rawvideo -pix_fmt yuv420p \
                    -s "${sbs_width}x$height" -i pipe:0 -f framemd5 - 2>encoder.log |
                    awk '!/^#/ { print $NF }' >"$dir/segment.md5"
            elif ((mvhevc)); then
                "$layerforge" "${layerforge_args[@]}" --output "$dir/segment.mov" 2>encoder.log
            else
                "$ffmpeg" -hide_banner -nostdin -y -loglevel error -f rawvideo -pix_fmt yuv420p \
                    -s "${sbs_width}x$height" -r "$fps_num/$fps_den" -i pipe:0 "${video_args[@]}" \
                    -output_ts_offset "$offset" -f mpegts "$dir/segment.ts" 2>encoder.log
            fi
        status=("${PIPESTATUS[@]}")
    }
    # The first stage that failed on its own, not one that lost its reader.
    local names=(feed viewpump twinrow drop encoder) i failed=-1
    for i in 0 1 2 3 4; do
        ((status[i] != 0 && status[i] != 141 && failed < 0)) && failed=$i
    done
    if ((failed < 0)); then
        for i in 4 3 2 1 0; do ((status[i] != 0)) && failed=$i; done
    fi
    for i in $failed; do
        if ((i >= 0)); then
            local log=${names[i]}.log message
            message=$(last_message "$log")
            [[ ${names[i]} == drop ]] && message="cannot skip the warm-up pictures"
            echo "segment $k (access units $s-$((e - 1))): ${names[i]} exited with status ${status[i]}: ${message:-no message}" >error.txt
            exit 1
        fi
    done
    local message
    message=$(grep -h 'ERROR' feed.log 2>/dev/null | tail -n 1)
    if [[ -n $message ]]; then
        echo "segment $k (access units $s-$((e - 1))): unitmerge: $message" >error.txt
        exit 1
    fi
    # Every access unit gives one picture pair: a missing or extra picture
    # would shift everything after it, so a count that differs fails the run.
    local decoded
    decoded=$(sed -n 's/.*twinrow: done, \([0-9]*\) frames.*/\1/p' twinrow.log | tail -n 1)
    if [[ $decoded != $((e - w)) ]]; then
        message=$(last_message viewpump.log)
        echo "segment $k (access units $s-$((e - 1))): decoded ${decoded:-0} picture pairs, expected $((e - w))${message:+ (viewpump: $message)}" >error.txt
        exit 1
    fi
    # The pictures the decoder had to conceal, counted on the film's own
    # access units; those of the warm-up belong to the segment before.
    awk -v s="$s" -v w="$w" -v e="$e" '/^viewpump: concealed picture of view / {
        au = $NF + w
        if (au >= s && au < e) print "viewpump: concealed picture of view " $6 " in access unit " au
    }' viewpump.log >damage
    echo "$(elapsed "$started_at")" >seconds
    exit 0
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

# The work of Phase 2 in picture pairs, warm-up included, as one line the
# engine reads every few seconds: "PROGRESS: <done>/<total> frames, <k>/<n>
# segments". A finished segment counts whole; a running one by its decoder's
# last count (the encoder is a pipe's width behind it).
work_total=$(awk '{ n += $3 - $4 } END { print n + 0 }' "$scratch/plan")
report_progress() {
    local f dir frames finished n
    while sleep 2; do
        frames=0 finished=0
        for f in "$scratch"/seg*/viewpump.log; do
            [[ -e $f ]] || continue
            dir=${f%/viewpump.log}
            if [[ -e $dir/seconds ]]; then
                read -r _ s e w <<<"${plan[${dir##*/seg}]}"
                ((frames += e - w, finished += 1))
                continue
            fi
            n=$(sed -n 's/^viewpump: \([0-9]*\) frame pairs decoded$/\1/p' "$f" | tail -n 1)
            ((frames += ${n:-0}))
        done
        echo "PROGRESS: $frames/$work_total frames, $finished/$segments segments"
    done
}

phase2_ns=$(date +%s%N)
echo "Phase 2: decoding and encoding $segments segments ($mode, $workers workers, $threads encoder threads each)"
declare -A segment_of slot_of
next=0 running=0 done_count=0
# Each worker slot gets CPUs of its own when there are enough for every slot.
mapfile -t cpu_list < <(command -v taskset >/dev/null && allowed_cpus)
free_slots=()
for ((slot = workers - 1; slot >= 0; slot--)); do free_slots+=("$slot"); done
slot_cpus() {
    ((${#cpu_list[@]} >= workers * threads)) || return 0
    local first=$(($1 * threads)) i list=""
    for ((i = first; i < first + threads; i++)); do list+=${list:+,}${cpu_list[i]}; done
    echo "$list"
}
mapfile -t plan <"$scratch/plan"
report_progress &
reporter_pid=$!
# Longest segments first: the short ones then fill the gaps at the end, so the
# workers finish together.
mapfile -t order < <(awk '{ print $3 - $4, $1 }' "$scratch/plan" | sort -s -k1,1nr | cut -d' ' -f2)
while ((done_count < segments)); do
    while ((running < workers && next < segments)); do
        read -r k s e w <<<"${plan[order[next]]}"
        slot=${free_slots[-1]}
        unset 'free_slots[-1]'
        run_worker "$k" "$s" "$e" "$w" "$(slot_cpus "$slot")" &
        segment_of[$!]=$k
        slot_of[$!]=$slot
        ((running += 1, next += 1))
    done
    finished_pid=""
    wait -n -p finished_pid "${!segment_of[@]}"
    result=$?
    [[ -z $finished_pid ]] && continue
    k=${segment_of[$finished_pid]}
    free_slots+=("${slot_of[$finished_pid]}")
    unset "segment_of[$finished_pid]" "slot_of[$finished_pid]"
    ((running -= 1))
    if ((result != 0)); then
        reason=$(cat "$scratch/seg$k/error.txt" 2>/dev/null)
        # On a full disk the worker cannot even write down why it failed.
        fail "${reason:-segment $k: worker exited with status $result}"
    fi
    read -r _ s e w <<<"${plan[k]}"
    echo "worker_$k done: $((e - s)) frames in $(cat "$scratch/seg$k/seconds")s"
    ((done_count += 1))
done
kill $(descendants "$reporter_pid") "$reporter_pid" 2>/dev/null
wait "$reporter_pid" 2>/dev/null
echo "PROGRESS: $work_total/$work_total frames, $segments/$segments segments"
echo "Phase 2 complete: $units frames, time $(elapsed "$phase2_ns")s"

# ---------------------------------------------------------------- Phase 3: join
phase3_ns=$(date +%s%N)
for ((k = 0; k < segments; k++)); do cat "$scratch/seg$k/damage" 2>/dev/null; done
echo "Phase 3: Concat $segments segments"
if ((frame_md5)); then
    for ((k = 0; k < segments; k++)); do cat "$scratch/seg$k/segment.md5"; done >"$partial" ||
        fail "cannot write $partial"
    frames=$(wc -l <"$partial")
    ((frames == units)) || fail "the segments gave $frames frames, expected $units"
elif ((mvhevc)); then
    # reelchain, not clipweave or ffmpeg + boxgraft: it copies every segment's
    # samples once, keeps the first segment's sample entry (lhvC and the stereo
    # boxes) byte for byte, places the segments on one continuous timeline at
    # the exact rate layerforge wrote, and adds the audio in the same pass.
    # clipweave has no audio, so the sound would need another full copy of the
    # movie, and ffmpeg's concatenation drops lhvC, which boxgraft would then
    # have to put back in a third copy.
    list=()
    for ((k = 0; k < segments; k++)); do list+=("$scratch/seg$k/segment.mov"); done
    audio_option=()
    if ((has_audio)); then
        wait "$audio_pid" || fail "audio: ffmpeg failed: $(last_message "$scratch/audio.log")"
        audio_option=(--audio "$scratch/audio.mov")
    fi
    in_background "$reelchain" "${list[@]}" "${audio_option[@]}" --output "$partial" 2>"$scratch/join.log" ||
        fail "join: reelchain failed: $(last_message "$scratch/join.log")"
    frames=$(sed -n 's/.*Done: \([0-9]*\) video samples.*/\1/p' "$scratch/join.log")
    [[ $frames == "$units" ]] || fail "join: reelchain wrote ${frames:-0} frames, expected $units"
    rm -f "${list[@]}"
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
        local k
        # shellcheck disable=SC2086 # the audio arguments are a word list by design
        for ((k = 0; k < segments; k++)); do
            cat "$scratch/seg$k/segment.ts" && rm -f "$scratch/seg$k/segment.ts" || exit 1
        done | "$ffmpeg" -hide_banner -nostdin -y -loglevel error -f mpegts -i pipe:0 -i "$audio_source" \
            -map 0:v:0 -map '1:a:0?' -c:v copy -metadata:s:v:0 stereo_mode=left_right "${container_args[@]}" \
            $audio_args -shortest "$partial" 2>"$scratch/join.log"
        local status=("${PIPESTATUS[@]}")
        ((status[1] == 0)) || exit 2
        ((status[0] == 0)) || exit 3
    }
    in_background join_sbs
    case $? in
    0) ;;
    3) fail "join: cannot read the encoded segments" ;;
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
