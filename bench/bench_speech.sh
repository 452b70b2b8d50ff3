#!/bin/sh
# The speech detector against the two energy detectors on the speech set (sentences over
# music, with and without noise swells and loud bursts; made once under the build folder
# by make_speech_set.sh), then the speech model's speed: the network alone over an hour of
# 16 kHz mono against ONNX Runtime on one thread, and kestrun-cli -d speech end to end over
# the one-hour WAV against -d energy. Rows that need the speech model or ONNX Runtime are
# skipped with a message when either is missing.
# Usage: sh bench/bench_speech.sh BUILD_DIR
set -eu
build="${1:-build}"
here=$(dirname "$0")
tools="$build/bench"
cli="$build/cli/kestrun-cli"
model="$build/cli/silero_vad_16k_op15.onnx"
reference="$here/../tools/speech-reference"
speech_set="$build/bench/speech-set"
hour="$build/bench/speech-like-1h.wav"
hour16k="$build/bench/speech-like-1h-16k.wav"

sh "$here/make_speech_set.sh" "$tools/make_speech_set" "$speech_set"
truth="$speech_set/truth.txt"

tmp=$(mktemp -d "$build/bench/speech-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# A fault found on the way is reported where it shows, and fails the run at the end.
status=0

# Why the speech rows cannot run, or nothing when they can.
no_speech=
if [ ! -f "$model" ]; then
    no_speech="no speech model at $model (sh scripts/fetch-model.sh, then build again)"
elif ! "$cli" -d speech -o "$tmp/probe.srt" "$speech_set/snr15.wav" >/dev/null 2>"$tmp/probe.err"; then
    no_speech="kestrun-cli -d speech does not run: $(head -n 1 "$tmp/probe.err")"
elif ! "$tools/speech_probs" "$model" "$speech_set/snr15.wav" "$tmp/probe.txt" 2>"$tmp/probe.err"; then
    no_speech="the speech model does not run: $(cat "$tmp/probe.err")"
fi

# Why the ONNX Runtime rows cannot run, or nothing when they can. Its packages are
# installed once, as package-lock.json pins them, without install scripts.
no_ort=
if [ -n "$no_speech" ]; then
    no_ort="$no_speech"
elif ! command -v node >/dev/null 2>&1; then
    no_ort="node not found: apt install nodejs npm"
elif [ ! -f "$reference/ort-probabilities.js" ]; then
    no_ort="no $reference/ort-probabilities.js"
elif [ ! -d "$reference/node_modules/onnxruntime-node" ] &&
    ! (cd "$reference" && npm ci --ignore-scripts --no-audit --no-fund) >"$tmp/npm.log" 2>&1; then
    no_ort="onnxruntime-node could not be installed (npm ci in $reference: $(tail -n 1 "$tmp/npm.log"))"
fi
ort() {
    node "$reference/ort-probabilities.js" "$model" "$@"
}

# score SRT LABEL: one row of the table for the current variant.
score() {
    "$tools/speech_score" "$truth" "$1" "$wav" "$2"
}

# detect NAME ARGS...: kestrun-cli with ARGS over the current variant, scored as NAME.
detect() {
    name=$1
    shift
    "$cli" "$@" -o "$tmp/$name.srt" "$wav" >/dev/null
    score "$tmp/$name.srt" "$name"
}

sentences=$(wc -l <"$truth")
echo "speech set: $sentences sentences over music in each 3-minute variant. F1 of speech time" \
    "in 10 ms steps; far false alarms: detected speech more than 500 ms from any true speech," \
    "in seconds and % of the non-speech time; edge errors: the nearest detected start (end)" \
    "within 1 s of each true one, median and mean of the error's size, bias = mean of" \
    "detected - true, none = true edges without one"
if [ -n "$no_speech" ]; then
    echo "speech set: speech rows skipped: $no_speech"
elif [ -n "$no_ort" ]; then
    echo "speech set: ONNX Runtime rows skipped: $no_ort"
fi
for variant in snr15 snr15fx snr5 snr5fx snr0 snr0fx; do
    wav="$speech_set/$variant.wav"
    ratio=${variant#snr}
    ratio=${ratio%fx}
    case $variant in
    *fx) effects="with noise swells and bursts" ;;
    *) effects="music only" ;;
    esac
    echo
    echo "speech set $variant: speech +$ratio dB over the music, $effects"
    "$tools/speech_score" --header
    detect energy -d energy
    detect glitch -d glitch
    if [ -z "$no_speech" ]; then
        detect speech -d speech
        "$tools/speech_probs" "$model" "$wav" "$tmp/ours.txt"
        "$tools/speech_cues" "$wav" "$tmp/ours.txt" "$tmp/ours-unrefined.srt" --no-refine >/dev/null
        score "$tmp/ours-unrefined.srt" "speech, edges unrefined"
        # kestrun-cli and the engine fed with the same probabilities must agree to the cue.
        "$tools/speech_cues" "$wav" "$tmp/ours.txt" "$tmp/ours-refined.srt" >/dev/null
        if ! cmp -s "$tmp/speech.srt" "$tmp/ours-refined.srt"; then
            echo "  WRONG: kestrun-cli -d speech differs from the engine on speech_probs' output"
            status=1
        fi
    fi
    if [ -z "$no_ort" ]; then
        sox -D "$wav" -r 16000 -c 1 -b 16 -e signed-integer "$tmp/16k.wav"
        ort "$tmp/16k.wav" "$tmp/ort.txt" --threads 1 >/dev/null
        "$tools/speech_cues" "$wav" "$tmp/ort.txt" "$tmp/ort.srt" --no-refine >/dev/null
        score "$tmp/ort.srt" "model alone via ORT"
    fi
done
echo

if [ -n "$no_speech" ]; then
    echo "speech speed: skipped: $no_speech"
    exit "$status"
fi
# The one-hour WAV of the load benchmarks, and the same at 16 kHz mono, both kept.
"$tools/make_long_wav" "$hour" 3600
if [ ! -f "$hour16k" ] || [ -n "$(find "$hour" -newer "$hour16k")" ]; then
    sox -D "$hour" -r 16000 -c 1 -b 16 -e signed-integer "$hour16k.part.wav"
    mv "$hour16k.part.wav" "$hour16k"
fi
if [ -n "$no_ort" ]; then
    echo "speech speed: ONNX Runtime baseline skipped: $no_ort"
    "$tools/bench_speech_net" "$model" "$hour16k" "$tmp/ours.txt" || status=1
else
    seconds=$(ort "$hour16k" "$tmp/ort.txt" --threads 1 | sed -n 's/.*seconds=\([0-9.]*\).*/\1/p')
    if [ -z "$seconds" ]; then
        echo "speech speed: WRONG: ONNX Runtime gave no time over $hour16k"
        status=1
        "$tools/bench_speech_net" "$model" "$hour16k" "$tmp/ours.txt" || status=1
    else
        "$tools/bench_speech_net" "$model" "$hour16k" "$tmp/ours.txt" --ort "$tmp/ort.txt" \
            "$seconds" || status=1
    fi
fi
"$tools/bench_speech_cli" "$hour" || status=1
exit "$status"
