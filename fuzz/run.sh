#!/bin/sh
# Runs every fuzz target for SECONDS on a copy of its seed corpus (the repository is never
# written to), JOBS targets at a time, and prints each one's executions, speed and
# coverage. Exits 1 when a target found something; the input that did it is kept and named.
#   sh fuzz/run.sh BUILD SECONDS JOBS [TARGET...]
set -eu

build=$1
seconds=$2
jobs=$3
shift 3
targets=${*:-wav_load wav_header mono profile srt args}
source=$(cd "$(dirname "$0")" && pwd)

# One target, run by xargs through this script: its log and status in its work folder.
if [ "${KESTRUN_FUZZ_ONE:-}" ]; then
    t=$KESTRUN_FUZZ_ONE
    work=$KESTRUN_FUZZ_WORK
    status=0
    "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/$t/found/" \
        "$work/$t/corpus" >"$work/$t/log" 2>&1 || status=$?
    echo "$status" >"$work/$t/status"
    exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrun-fuzz.XXXXXX")
for t in $targets; do
    mkdir -p "$work/$t/corpus" "$work/$t/found"
    cp "$source/corpus/$t/"* "$work/$t/corpus/"
done

# Cheaper memory reuse under AddressSanitizer: fresh pages cost a fault each on a VM.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=16}"
for t in $targets; do echo "$t"; done |
    xargs -P "$jobs" -I{} env KESTRUN_FUZZ_ONE={} KESTRUN_FUZZ_WORK="$work" sh "$0" "$build" \
        "$seconds" "$jobs"

failed=0
printf '%-11s %12s %9s %7s %7s  %s\n' target executions exec/s cov ft result
for t in $targets; do
    log="$work/$t/log"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    if [ "$(cat "$work/$t/status")" = 0 ]; then
        result="no finding"
    else
        result="FOUND: $(ls "$work/$t/found/" | head -n 1) (log: $log)"
        failed=1
    fi
    printf '%-11s %12s %9s %7s %7s  %s\n' "$t" "${runs:-?}" "${speed:-?}" "${cov:-?}" "${ft:-?}" \
        "$result"
done
if [ "$failed" = 0 ]; then
    rm -rf "$work"
else
    echo "inputs and logs kept in $work" >&2
fi
exit "$failed"
