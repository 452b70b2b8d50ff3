#!/bin/sh
# Decoding through kestrun-cli end to end against the least any tool must do to find speech
# in the same file: ffmpeg decoding it into its silencedetect filter and throwing the sound
# away. An hour as MP3, FLAC and AAC in Matroska, with and without the decoded WAV kept;
# then a hundred one-minute MP3s with two jobs at a time against one. The files are made
# once under BUILD/bench/decode and kept; every figure is the median of five runs taken
# in turn with its baseline, the inputs in the page cache.
# Usage: sh bench/bench_decode.sh BUILD_DIR
set -eu
build="${1:-build}"
wav="$build/bench/speech-like-1h.wav"
cli="$build/cli/kestrun-cli"
files="$build/bench/decode"
runs=5

now() {
    date +%s.%N
}

# The same one-hour file the load benchmarks read, made once and kept.
"$build/bench/make_long_wav" "$wav" 3600 >/dev/null

tmp=$(mktemp -d "$build/bench/decode-run-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# made FILE COMMAND...: COMMAND writes FILE unless it is there; a run cut short leaves
# only its partial file under another name, so the next run makes it again.
made() {
    target=$1
    shift
    [ -f "$target" ] && return 0
    "$@" "$target.part" || {
        echo "bench_decode: cannot make $target" >&2
        exit 1
    }
    mv -f "$target.part" "$target"
}

ff() {
    ffmpeg -nostdin -hide_banner -loglevel error -y "$@"
}
mkdir -p "$files/minutes"
[ -f "$files/1h.mkv" ] && [ -f "$files/minutes/99.mp3" ] || echo "bench_decode: making the files in $files, once" >&2
made "$files/1h.mp3" ff -i "$wav" -c:a libmp3lame -b:a 128k -f mp3
made "$files/1h.flac" ff -i "$wav" -c:a flac -f flac
made "$files/1h.mkv" ff -i "$wav" -c:a aac -b:a 128k -f matroska
# A hundred minutes cut from the hour's MP3 without re-encoding, the later ones again from
# its start at other offsets.
i=0
while [ "$i" -lt 100 ]; do
    made "$files/minutes/$i.mp3" ff -ss $((i % 60 * 60 + 7 * (i / 60))) -t 60 \
        -i "$files/1h.mp3" -c copy -f mp3
    i=$((i + 1))
done

# seconds COMMAND...: the wall time of one run, its output discarded, the decoded WAVs
# deleted after it.
seconds() {
    start=$(now)
    "$@" >/dev/null 2>"$tmp/err" || {
        echo "bench_decode: failed: $* ($(tail -n 1 "$tmp/err"))" >&2
        exit 1
    }
    end=$(now)
    find "$tmp" -mindepth 1 -maxdepth 1 ! -name err -exec rm -f {} +
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}

median() {
    tr ' ' '\n' | sed '/^$/d' | sort -n | sed -n "$(((runs + 1) / 2))p"
}

# compare NAME TARGET OURS BASELINE: the two shell functions named, run in turn.
compare() {
    ours=
    baseline=
    i=0
    while [ "$i" -lt "$runs" ]; do
        ours="$ours $(seconds "$3")"
        baseline="$baseline $(seconds "$4")"
        i=$((i + 1))
    done
    o=$(echo "$ours" | median)
    b=$(echo "$baseline" | median)
    awk -v n="$1" -v o="$o" -v b="$b" -v t="$2" 'BEGIN {
        printf "%s: ours %.2f s, baseline %.2f s, ratio %.2f (target <= %.1f)\n", n, o, b, o / b, t
    }'
}

silencedetect() {
    ffmpeg -nostdin -i "$src" -af silencedetect=noise=-30dB:d=0.3 -f null -
}
cli_kept() {
    "$cli" --out-dir "$tmp" "$src"
}
cli_no_wav() {
    "$cli" --no-wav --out-dir "$tmp" "$src"
}
cli_one_job() {
    "$cli" -j 1 --out-dir "$tmp" "$files"/minutes/*.mp3
}
cli_two_jobs() {
    "$cli" -j 2 --out-dir "$tmp" "$files"/minutes/*.mp3
}

help=$("$cli" --help)
for format in mp3 flac mkv; do
    src="$files/1h.$format"
    cat "$src" >/dev/null
    compare "kestrun-cli, an hour of $format" 0.8 cli_kept silencedetect
    case "$help" in
    *--no-wav*) compare "kestrun-cli --no-wav, an hour of $format" 0.8 cli_no_wav silencedetect ;;
    *) echo "kestrun-cli --no-wav, an hour of $format: skipped, no --no-wav in this build" ;;
    esac
done
case "$help" in
*--jobs*)
    cat "$files"/minutes/*.mp3 >/dev/null
    compare "kestrun-cli -j 2 against -j 1, 100 one-minute mp3s" 0.6 cli_two_jobs cli_one_job
    ;;
*) echo "kestrun-cli -j 2, 100 one-minute mp3s: skipped, no --jobs in this build" ;;
esac
