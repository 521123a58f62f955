#!/bin/bash
# One machine's efficiency and the price of other machines, in the same run:
#   1. per quality preset, the segment-parallel MV-HEVC route (fanout-run.sh
#      --mvhevc, every core) against one x265 encode of the same raw frames as
#      one 3840x1080 side-by-side picture under the same picture-type rules
#      (closed GOP every 48, no scene cut, no adaptive B frames);
#   2. two SSH "hosts" (Debian's sshd on local ports, one job slot each, so
#      together they share this machine's cores) against the local parallel
#      route, with each host's pairs/s and the bytes that travelled per segment;
#   3. the scaling model for a two-hour film on 1, 2 and 4 machines.
# usage: [ROUNDS=n] hosts-bench.sh <build-dir> [work-dir] [pairs] [preset...]
#   preset: "Ultra High" "High Quality" "Balanced" "Smaller File" (default: all)
#   ROUNDS: times each side of a comparison runs, alternating with the other;
#     the best wall time of each counts (default 2), so that a burst of other
#     work on a shared machine does not decide a ratio
set -euo pipefail
build=$(cd "$1" && pwd)
work=${2:-${TMPDIR:-/tmp}/hosts-bench.$$}
pairs=${3:-240}
shift $(($# < 3 ? $# : 3))
presets=("$@")
rounds=${ROUNDS:-2}
((${#presets[@]})) || presets=("Ultra High" "High Quality" "Balanced" "Smaller File")
mkdir -p "$work"
work=$(cd "$work" && pwd)
tools=$build/bin/tools
servers=()
cleanup() {
    local pid
    for pid in "${servers[@]}"; do
        pkill -KILL -P "$pid" 2>/dev/null || true
        kill -KILL "$pid" 2>/dev/null || true
    done
    rm -rf "$work/raw.yuv" "$work/scratch" "$work/ssh"
}
trap cleanup EXIT

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg), cores: $(nproc), pairs: $pairs, rounds: $rounds"
"$build/bin/stereokit" --set hd --frames "$pairs" --output "$work/kit" >/dev/null
stream=$work/kit/hd/cabac_b/interleaved.264
read -r width height < <(awk -F= '$1 == "width" { w = $2 } $1 == "height" { h = $2 } END { print w, h }' \
    "$work/kit/hd/set.info")
# The same raw frames for the single encode, decoded once beforehand.
"$tools/viewpump" -p InputFile="$stream" -p DecodeAllLayers=1 2>/dev/null |
    "$tools/twinrow" "$width" "$height" 2>/dev/null >"$work/raw.yuv"

# The engine's table: quality for layerforge, the x265 CRF and speed it maps
# that to, and the rate in Mbit/s that layerforge then aims at instead (0: none).
preset_row() {
    case $1 in
    "Ultra High") echo "0.88 17 medium 35" ;;
    "High Quality") echo "0.85 18 medium 25" ;;
    "Balanced") echo "0.7 23 fast 0" ;;
    "Smaller File") echo "0.5 28 veryfast 0" ;;
    *) echo "unknown preset $1" >&2 && exit 1 ;;
    esac
}

seconds_of() { # runs a command, prints its wall time and the CPU time of all its processes
    # On a machine shared with other work the wall time says more about the
    # others than about the command; the CPU seconds it used (user + system,
    # its children included) do not depend on who else runs.
    /usr/bin/time -f '%e %U %S' -o "$work/time.txt" "$@" >"$work/last.log" 2>&1 ||
        { tail -n 20 "$work/last.log" >&2 && exit 1; }
    awk '{ print $1, $2 + $3 }' "$work/time.txt"
}

best() { # "wall cpu" pairs on standard input -> the smallest wall and the smallest CPU time
    awk 'NR == 1 || $1 < w { w = $1 } NR == 1 || $2 < c { c = $2 } END { print w, c }'
}

parallel_run() { # quality rate [extra fanout-run.sh arguments]
    local quality=$1 rate=$2
    shift 2
    rm -rf "$work/scratch"
    mkdir -p "$work/scratch"
    local cap=()
    ((rate > 0)) && cap=(--maxrate "$rate")
    seconds_of "$tools/fanout-run.sh" "$stream" "$work/kit/hd/cabac_b/movie.m2ts" "$work/scratch/out.mov" \
        --width "$width" --height "$height" --fps 24000/1001 --quality "$quality" --audio-args "-c:a copy" \
        --workdir "$work/scratch" --mvhevc "${cap[@]}" "$@"
}

echo
echo "1. segment-parallel MV-HEVC against one side-by-side x265 encode of the same raw frames, same picture types"
printf '%-14s %12s %14s %10s %12s %12s %10s\n' preset single_fps parallel_pairs/s ratio \
    single_cpu_s parallel_cpu_s cpu_ratio
declare -A efficiency
for preset in "${presets[@]}"; do
    read -r quality crf speed rate < <(preset_row "$preset")
    # The same rate control as layerforge: with a rate it encodes each eye at
    # half of it on average (not a CRF under a cap), so the single encode gets
    # the whole of it for both eyes.
    control=(-crf "$crf")
    ((rate > 0)) && control=(-b:v "${rate}M")
    : >"$work/single.times"
    : >"$work/together.times"
    for ((round = 0; round < rounds; ++round)); do
        seconds_of ffmpeg -hide_banner -nostdin -loglevel error -f rawvideo -pix_fmt yuv420p \
            -s "$((2 * width))x$height" -r 24000/1001 -i "$work/raw.yuv" -c:v libx265 -preset "$speed" \
            "${control[@]}" -x265-params "keyint=48:min-keyint=12:scenecut=0:open-gop=0:b-adapt=0:log-level=error" \
            -f null - >>"$work/single.times"
        parallel_run "$quality" "$rate" >>"$work/together.times"
    done
    read -r single single_cpu < <(best <"$work/single.times")
    read -r together together_cpu < <(best <"$work/together.times")
    single_fps=$(echo "$pairs / $single" | bc -l)
    parallel_fps=$(echo "$pairs / $together" | bc -l)
    efficiency[$preset]=$(echo "$parallel_fps / $single_fps" | bc -l)
    printf '%-14s %12.2f %14.2f %10.3f %12.1f %12.1f %10.3f\n' "$preset" "$single_fps" "$parallel_fps" \
        "${efficiency[$preset]}" "$single_cpu" "$together_cpu" "$(echo "$single_cpu / $together_cpu" | bc -l)"
done
echo "target: ratio >= 0.9 at every preset (cpu_ratio: the same comparison in CPU seconds, which the"
echo "machine's other work does not move; the parallel route's include decoding both MVC views)"

# Two SSH servers on this machine, each a "host" with one job slot.
echo
echo "2. two local SSH hosts against the local parallel route (${presets[-1]})"
ssh_dir=$work/ssh
mkdir -p "$ssh_dir"
[[ $(id -u) == 0 ]] && mkdir -p /run/sshd
ssh-keygen -q -t ed25519 -N '' -f "$ssh_dir/host"
ssh-keygen -q -t ed25519 -N '' -f "$ssh_dir/client"
cp "$ssh_dir/client.pub" "$ssh_dir/authorized_keys"
printf 'Host *\n  HostName 127.0.0.1\n  IdentityFile %s\n  IdentitiesOnly yes\n  StrictHostKeyChecking no\n  UserKnownHostsFile /dev/null\n  LogLevel ERROR\n  BatchMode yes\n' \
    "$ssh_dir/client" >"$ssh_dir/ssh_config"
for name in bench-a bench-b; do
    mkdir -p "$ssh_dir/$name/home"
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    printf 'Port %s\nListenAddress 127.0.0.1\nHostKey %s\nUsePAM no\nStrictModes no\nPasswordAuthentication no\nPermitRootLogin prohibit-password\nAuthorizedKeysFile %s\nSetEnv PATH=%s:/usr/bin:/bin HOME=%s\n' \
        "$port" "$ssh_dir/host" "$ssh_dir/authorized_keys" "$tools" "$ssh_dir/$name/home" >"$ssh_dir/$name/sshd_config"
    printf 'Host %s\n  Port %s\n' "$name" "$port" >>"$ssh_dir/ssh_config"
    /usr/sbin/sshd -D -f "$ssh_dir/$name/sshd_config" -E "$ssh_dir/$name/log" &
    servers+=($!)
done
export PARALLEL_SSH="ssh -F $ssh_dir/ssh_config"
for name in bench-a bench-b; do
    for _ in $(seq 50); do ssh -F "$ssh_dir/ssh_config" "$name" true 2>/dev/null && break; sleep 0.2; done
done
read -r quality crf speed rate < <(preset_row "${presets[-1]}")
: >"$work/local.times"
: >"$work/hosts.times"
for ((round = 0; round < rounds; ++round)); do
    parallel_run "$quality" "$rate" >>"$work/local.times"
    parallel_run "$quality" "$rate" --hosts 1/bench-a,1/bench-b >>"$work/hosts.times"
    grep '^Host ' "$work/last.log" | sed "s/^/  round $((round + 1)): /"
done
read -r local_seconds _ < <(best <"$work/local.times")
read -r hosts_seconds _ < <(best <"$work/hosts.times")
printf '  wall seconds, local: %s; two SSH hosts: %s\n' "$(cut -d' ' -f1 "$work/local.times" | paste -sd' ')" \
    "$(cut -d' ' -f1 "$work/hosts.times" | paste -sd' ')"
printf '  best local parallel route: %.1f s; best two SSH hosts: %.1f s; ratio %.3f (target <= 1.10)\n' \
    "$local_seconds" "$hosts_seconds" "$(echo "$hosts_seconds / $local_seconds" | bc -l)"

# Throughput = the sum of the machines' rates x the efficiency measured above.
echo
echo "3. a two-hour film (172627 pairs) at ${presets[-1]}, machines like this one" \
    "(throughput = sum of the machines' rates x the SSH efficiency of 2):"
machine_rate=$(echo "$pairs / $local_seconds" | bc -l)
ssh_factor=$(echo "$local_seconds / $hosts_seconds" | bc -l)
for machines in 1 2 4; do
    awk -v n="$machines" -v r="$machine_rate" -v f="$ssh_factor" 'BEGIN {
        # SSH never makes a machine faster: a ratio above 1 is the load of the moment.
        if (f > 1) f = 1
        rate = n == 1 ? r : n * r * f
        printf "  %d machine(s): %6.2f pairs/s, %5.1f h\n", n, rate, 172627 / rate / 3600
    }'
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
