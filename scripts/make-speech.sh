#!/bin/sh
# Writes a short speech sample to $1: three phrases separated by one second of
# silence, 44,100 Hz stereo 16-bit PCM with the canonical 44-byte header.
set -eu
out="$1"
dir=$(dirname "$out")
tmp="$dir/.speech-$$"
mkdir -p "$tmp"
trap 'rm -rf "$tmp"' EXIT INT TERM

i=0
for phrase in "Hello, this is a test of the subtitle timer." \
              "The second sentence comes after a pause." \
              "And this is the last one."; do
    i=$((i + 1))
    espeak-ng -s 150 -w "$tmp/p$i.wav" "$phrase"
done
sox -n -r 22050 -c 1 -b 16 "$tmp/gap.wav" trim 0 1.0
sox "$tmp/gap.wav" "$tmp/p1.wav" "$tmp/gap.wav" "$tmp/p2.wav" "$tmp/gap.wav" "$tmp/p3.wav" \
    "$tmp/gap.wav" -r 44100 -c 2 -b 16 -e signed-integer "$tmp/out.wav"
mv "$tmp/out.wav" "$out"
