#!/bin/sh
# Takes the README's picture of the window: a speech sample dropped on it and loaded,
# under a virtual X display. Usage: screenshot.sh BUILD_DIR OUTPUT.png
set -eu
build="$1"
out="$2"
here=$(cd "$(dirname "$0")/.." && pwd)

sh "$here/scripts/install-deps.sh" xvfb xauth
cmake --build "$build" --target kestrun-screenshot speech_sample >/dev/null

# A folder of its own: the window reads and writes kestrun.ini where it starts.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
cp "$build/sample/speech.wav" "$work/speech.wav"
mkdir -p "$(dirname "$out")"
case "$out" in
/*) target="$out" ;;
*) target="$(pwd)/$out" ;;
esac
(cd "$work" && xvfb-run -a -s "-screen 0 1024x768x24" \
    "$(cd "$here" && cd "$build" && pwd)/tools/kestrun-screenshot" speech.wav "$target")
echo "$target"
