#!/bin/bash
# fanout-worker.sh: decodes and encodes one segment of a stereo film.
#
#   fanout-worker.sh <stream> <output> <md5|mvhevc|sbs> <width> <height> <swap 0|1>
#       <first access unit> <warm-up pictures> <picture pairs> [-- <encoder arguments>]
#   fanout-worker.sh --version
#
# GNU parallel starts it, on this machine or on another one over SSH, with the
# segment's stream bytes in <stream> (a file of its own, named by the segment's
# number only) and gets <output> back: the segment's frame MD5s (md5), its
# MV-HEVC movie (mvhevc: the encoder arguments go to layerforge) or its
# side-by-side MPEG-TS (sbs: the first is the frame rate NUM/DEN, the others go
# to ffmpeg after the input). Nothing of the
# user's travels but the stream bytes and these arguments, which parallel
# quotes.
#
# The first <warm-up pictures> pairs only prime the decoder and are dropped;
# exactly <picture pairs> pairs must come out of the decoder or the segment
# fails. On success standard output holds "pairs <n>" and a "viewpump:
# concealed picture of view <v> in access unit <a>" line per concealed
# picture, counted from <first access unit>; a failure is one line on standard
# error, "<stage> exited with status <s>: <its last message>", and status 1.
set -u
export PATH=${PATH:-/usr/local/bin:/usr/bin:/bin}
script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

tool() {
    if [[ -x $script_dir/$1 ]]; then
        printf '%s' "$script_dir/$1"
    else
        command -v "$1" || { echo "$1 not found on this machine" >&2 && exit 1; }
    fi
}

if [[ ${1:-} == --version ]]; then
    # The tools of one build answer with one version, which the runner
    # compares with its own before it gives this machine any work.
    for name in viewpump twinrow layerforge; do
        path=$(tool "$name") || exit 1
        "$path" --version 2>/dev/null | head -n 1 || exit 1
    done
    exit 0
fi

(($# >= 9)) || {
    echo "Usage: fanout-worker.sh <stream> <output> <md5|mvhevc|sbs> <width> <height> <swap 0|1>" \
        "<first access unit> <warm-up pictures> <picture pairs> [-- <encoder arguments>]" >&2
    exit 1
}
stream=$1 output=$2 mode=$3 width=$4 height=$5 swap=$6 first=$7 warm=$8 pairs=$9
shift 9
[[ ${1:-} == -- ]] && shift
for number in "$width" "$height" "$first" "$warm" "$pairs"; do
    [[ $number =~ ^[0-9]+$ ]] || { echo "not a number: $number" >&2 && exit 1; }
done

viewpump=$(tool viewpump) || exit 1
twinrow=$(tool twinrow) || exit 1
case $mode in
md5 | sbs) encoder=$(tool ffmpeg) || exit 1 ;;
mvhevc) encoder=$(tool layerforge) || exit 1 ;;
*) echo "unknown mode: $mode" >&2 && exit 1 ;;
esac

[[ $stream == /* ]] || stream=$PWD/$stream
[[ $output == /* ]] || output=$PWD/$output
mkdir -p "${output%/*}" || exit 1
# The logs live in a private folder of the job's folder, which the runner
# removes on every host at the end of a run even when a cancellation killed
# this worker too fast for its own clean-up; its absolute name is on the
# decoder's command line, so a sweep after a cancellation finds the tools by it.
dir=$(mktemp -d "$PWD/fanout-segment.XXXXXX") || {
    echo "cannot create a folder in $PWD" >&2
    exit 1
}
# The runner's clean-up on a host stops what a cancellation left running by
# this process group.
ps -o pgid= $$ | tr -d ' ' >"$dir/group"
trap 'rm -rf "$dir"' EXIT
trap 'exit 143' TERM INT HUP
cd "$dir" || exit 1

rate=""
if [[ $mode == sbs ]]; then
    [[ ${1:-} =~ ^[0-9]+/[0-9]+$ ]] || { echo "sbs needs the frame rate NUM/DEN first" >&2 && exit 1; }
    rate=$1
    shift
fi
sbs_width=$((2 * width))
twinrow_words=(--skip "$warm")
((swap)) && twinrow_words+=(swap)

last_message() { # the last meaningful line a tool wrote
    # ffmpeg ends "Error initializing output stream 0:1 -- " with an empty
    # reason when its muxer gave the reason on the line before.
    grep -v '^[[:space:]]*$' "$1" 2>/dev/null | tail -n 2 |
        awk '{ line[NR] = $0 } END { if (NR == 2 && line[2] ~ /--[[:space:]]*$/) print line[1] " " line[2]; else print line[NR] }'
}

"$viewpump" -p InputFile="$stream" -p OutputFile="$dir/output.yuv" -p DecodeAllLayers=1 2>viewpump.log |
    "$twinrow" "$width" "$height" "${twinrow_words[@]}" 2>twinrow.log |
    case $mode in
    md5)
        "$encoder" -hide_banner -nostdin -loglevel error -f rawvideo -pix_fmt yuv420p \
            -s "${sbs_width}x$height" -i pipe:0 -f framemd5 - 2>encoder.log |
            awk '!/^#/ { print $NF }' >"$output"
        ;;
    mvhevc) "$encoder" "$@" --output "$output" 2>encoder.log ;;
    sbs) "$encoder" -hide_banner -nostdin -y -loglevel error -f rawvideo -pix_fmt yuv420p \
        -s "${sbs_width}x$height" -r "$rate" -i pipe:0 "$@" -f mpegts "$output" 2>encoder.log ;;
    esac
status=("${PIPESTATUS[@]}")

# The first stage that failed on its own, not one that lost its reader: that
# one died of SIGPIPE (141) or, like twinrow, reported the broken pipe.
names=(viewpump twinrow encoder)
failed=-1
for i in 0 1 2; do
    ((status[i] != 0 && status[i] != 141 && failed < 0)) &&
        ! last_message "${names[i]}.log" | grep -q 'Broken pipe$' && failed=$i
done
if ((failed < 0)); then
    for i in 2 1 0; do ((status[i] != 0)) && failed=$i; done
fi
if ((failed >= 0)); then
    message=$(last_message "${names[failed]}.log")
    # A tool that meets a full disk often cannot even write down why.
    avail=$(df --output=avail -B1 "${output%/*}" 2>/dev/null | tail -n 1)
    [[ $avail =~ ^[[:space:]]*[0-9]+$ ]] && ((avail < 1048576)) && message+=" (No space left on device)"
    echo "${names[failed]} exited with status ${status[failed]}: ${message:-no message}" >&2
    exit 1
fi
# Every access unit gives one picture pair: a missing or extra picture would
# shift everything after it, so a count that differs fails the segment.
decoded=$(sed -n 's/.*twinrow: done, \([0-9]*\) frames.*/\1/p' twinrow.log | tail -n 1)
if [[ $decoded != $((warm + pairs)) ]]; then
    message=$(last_message viewpump.log)
    echo "decoded $((${decoded:-0} - warm)) picture pairs, expected $pairs${message:+ (viewpump: $message)}" >&2
    exit 1
fi
echo "pairs $pairs"
# The pictures the decoder had to conceal, on the film's own access units;
# those of the warm-up belong to the segment before.
awk -v first="$first" -v warm="$warm" '/^viewpump: concealed picture of view / {
    if ($NF >= warm) print "viewpump: concealed picture of view " $6 " in access unit " ($NF + first)
}' viewpump.log
exit 0
