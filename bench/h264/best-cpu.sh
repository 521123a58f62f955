# Sourced by the two-view decoding benchmarks: each program runs several
# times, alternating with the others, and its best CPU time counts, so that a
# burst of other work on the machine does not decide the ratio.
calc() { awk "BEGIN { print $1 }"; }
measure() { # name, standard output, command... ; keeps <name>.cpu, .wall and .rss of the best run
    local label=$1 out=$2
    shift 2
    /usr/bin/time -f "%e %U %S %M" -o time "$@" >"$out" 2>"$label.err" || {
        echo "ERROR: $label failed:" >&2
        tail -3 "$label.err" >&2
        exit 1
    }
    local wall user sys rss cpu
    read -r wall user sys rss <time
    cpu=$(calc "$user + $sys")
    if [ ! -f "$label.cpu" ] || [ "$(calc "$cpu < $(cat "$label.cpu")")" = 1 ]; then
        echo "$cpu" >"$label.cpu"
        echo "$wall" >"$label.wall"
        echo "$rss" >"$label.rss"
    fi
}
