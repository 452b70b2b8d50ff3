#!/bin/sh
# The decoder adapters' own cost: an hour of sound decoded by each underlying decoder run
# directly and by its adapter run the way the worker runs it, five runs of each taken in
# turn, medians compared. tta stands for the adapters that decode through ffmpeg: it is the
# cheapest of their formats to decode, so what the adapter adds (the shell, the header
# checks, the channel filter) weighs the most there.
# Usage: sh bench/bench_adapters.sh BUILD_DIR
set -eu
build="${1:-build}"
wav="$build/bench/speech-like-1h.wav"
tools="$build/cli"
runs=5
target=1.05

now() {
    date +%s.%N
}
started=$(now)

# The same one-hour file the load benchmarks read, made once and kept.
"$build/bench/make_long_wav" "$wav" 3600 >/dev/null

tmp=$(mktemp -d "$build/bench/adapters-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# elapsed FROM: seconds since FROM, a time from now.
elapsed() {
    awk -v from="$1" -v to="$(now)" 'BEGIN { printf "%.3f\n", to - from }'
}

# seconds COMMAND...: the wall time of one run, its output discarded.
seconds() {
    start=$(now)
    "$@" >/dev/null 2>&1 || {
        echo "bench_adapters: failed: $*" >&2
        exit 1
    }
    elapsed "$start"
}

median() {
    tr ' ' '\n' | sed '/^$/d' | sort -n | sed -n "$(((runs + 1) / 2))p"
}

# compare NAME: NAME_direct against NAME_adapter, each decoding $src into $out.
compare() {
    direct=
    adapter=
    cat "$src" >/dev/null # both start with the input in the page cache
    i=0
    while [ "$i" -lt "$runs" ]; do
        direct="$direct $(seconds "${1}_direct")"
        adapter="$adapter $(seconds "${1}_adapter")"
        i=$((i + 1))
    done
    d=$(echo "$direct" | median)
    a=$(echo "$adapter" | median)
    awk -v n="$1" -v d="$d" -v a="$a" -v t="$target" 'BEGIN {
        printf "%s: direct %.2f s, adapter %.2f s, ratio %.3f (target < %.2f)\n", n, d, a, a / d, t
    }'
}

# The adapters get exactly the arguments the worker gives them.
flac_direct() { flac -d -f -s -o "$out" "$src"; }
flac_adapter() { "$tools/flac.exe" -d -f "$src" -o "$out"; }
mp3_direct() { lame --decode --quiet "$src" "$out"; }
mp3_adapter() { "$tools/lame.exe" --decode -q 0 "$src" "$out"; }
tta_direct() { ffmpeg -nostdin -loglevel error -y -i "$src" -c:a pcm_s16le "$out"; }
tta_adapter() { "$tools/ttaenc.exe" -d "$src" -o "$out"; }

echo "bench_adapters: encoding $wav" >&2
flac -s -f -o "$tmp/x.flac" "$wav"
lame --silent -b 64 "$wav" "$tmp/x.mp3"
ffmpeg -nostdin -loglevel error -y -i "$wav" -c:a tta "$tmp/x.tta"

out="$tmp/x.wav"
for format in flac mp3 tta; do
    src="$tmp/x.$format"
    compare "$format"
done
echo "bench_adapters: $(elapsed "$started") s in all, encoding included" >&2
