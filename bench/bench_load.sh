#!/bin/sh
# P2 and P3: makes sure the one-hour WAV exists under the build folder (written once and
# kept there for reruns, never committed), then times and measures the loaders over it;
# P2b: the same hour as 24-bit and with a chunk before the data, against it.
# Usage: sh bench/bench_load.sh BUILD_DIR
set -eu
build="${1:-build}"
wav="$build/bench/speech-like-1h.wav"
"$build/bench/make_long_wav" "$wav" 3600
"$build/bench/bench_load" "$wav"
"$build/bench/bench_layout" "$wav"
