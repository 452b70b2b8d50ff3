# Shared by the decoder adapters: each adapter is a small POSIX sh program named after the
# decoder the worker asks for (flac.exe, lame.exe, ...), takes exactly that decoder's
# arguments and does the job with what this system has. Sourced, never run.
#
# The contract every adapter keeps: exit 0 only with its output complete at the path it
# was given; otherwise exit non-zero with one line on standard error and no output left.

# adapter_init NAME: the name messages start with.
adapter_init() {
    ADAPTER_NAME=$1
    ADAPTER_CLEANUP=
    ADAPTER_CHILD=
    trap 'adapter_cleanup' EXIT
    trap 'adapter_stop 143' TERM
    trap 'adapter_stop 130' INT
}

# adapter_stop STATUS: a signal's end. The tools this shell started are stopped, and
# waited for, before the cleanup deletes their output: else one could write it anew after.
# By parent, as the signal may come between a start and the line that learns its pid;
# KILL, as a TERM reaching a child between its fork and its exec is lost.
adapter_stop() {
    pkill -KILL -P $$ 2>/dev/null ||
        { [ -n "$ADAPTER_CHILD" ] && kill -KILL "$ADAPTER_CHILD" 2>/dev/null; }
    wait
    exit "$1"
}

# run_waited CMD...: CMD with the caller's redirections, started in the background and
# waited for; its exit status. sh runs a trap only once the foreground command has ended,
# which for ffmpeg over an hour of sound is long after the signal: a wait ends at once.
run_waited() {
    "$@" &
    ADAPTER_CHILD=$!
    wait "$ADAPTER_CHILD"
    set -- $?
    ADAPTER_CHILD=
    return "$1"
}

# regular_input PATH: refuses at once, by what it is, a PATH that exists but is no regular
# file (a link to one will do): a FIFO, socket or device would hold the tool reading it
# for ever, a folder has nothing to decode. A missing or unreadable PATH is left to the
# adapter's own check.
regular_input() {
    if [ -f "$1" ] || ! [ -e "$1" ]; then
        return 0
    fi
    if [ -d "$1" ]; then
        fail "$1: это папка, а не файл"
    elif [ -p "$1" ]; then
        fail "$1: это именованный канал (FIFO), а не файл"
    elif [ -S "$1" ]; then
        fail "$1: это сокет, а не файл"
    elif [ -c "$1" ] || [ -b "$1" ]; then
        fail "$1: это устройство, а не файл"
    fi
    fail "$1: не удалось открыть файл"
}

adapter_cleanup() {
    if [ -n "$ADAPTER_CLEANUP" ]; then
        rm -f -- "$ADAPTER_CLEANUP"
    fi
    if [ -n "${ADAPTER_SCRATCH:-}" ]; then
        rm -f -- "$ADAPTER_SCRATCH"
    fi
}

# scratch_file FILE: a working file of the adapter's own, deleted however the adapter ends.
scratch_file() {
    ADAPTER_SCRATCH=$1
}

# le32 N: N as the 4 bytes of a little-endian 32-bit field.
le32() {
    # shellcheck disable=SC2059 # the format is the bytes
    printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $(($1 >> 8 & 255)) \
        $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"
}

# remove_on_exit FILE: FILE is deleted however the adapter ends, unless keep_output runs.
remove_on_exit() {
    ADAPTER_CLEANUP=$1
}

keep_output() {
    ADAPTER_CLEANUP=
}

# fail MESSAGE [STATUS]: one line on standard error, then exit (1 unless told). The tools'
# own messages are kept off standard error, so a failure reads as this one line.
fail() {
    printf '%s: %s\n' "$ADAPTER_NAME" "$1" >&2
    exit "${2:-1}"
}

usage() {
    fail "unexpected arguments; this adapter takes: $1" 2
}

# need TOOL PACKAGE: TOOL must be on PATH, or the adapter says what to install.
need() {
    command -v "$1" >/dev/null 2>&1 || fail "$1 not found: apt install $2" 127
}

# wav_head FILE: FILE's first 45 bytes as hex, each byte after a space, on one line (fewer
# when the file is shorter): one process answers both questions a decoded WAV is asked.
wav_head() {
    od -An -tx1 -v -w45 -N45 -- "$1" 2>/dev/null
}

# canonical_head HEAD: true when wav_head's HEAD starts with the 44-byte RIFF/WAVE header of
# 16-bit PCM, mono or stereo, its data chunk right after a 16-byte format chunk: the layout
# every decoded WAV is given.
canonical_head() {
    # "RIFF", size, "WAVEfmt ", 16 bytes, PCM, 1 or 2 channels, rate, byte rate, block
    # align, 16 bits, "data", size.
    case "$1" in
    \ 52\ 49\ 46\ 46\ ??\ ??\ ??\ ??\ 57\ 41\ 56\ 45\ 66\ 6d\ 74\ 20\ 10\ 00\ 00\ 00\ 01\ 00\ 0[12]\ 00\ ??\ ??\ ??\ ??\ ??\ ??\ ??\ ??\ ??\ ??\ 10\ 00\ 64\ 61\ 74\ 61\ ??\ ??\ ??\ ??*) true ;;
    *) false ;;
    esac
}

is_canonical_wav() {
    canonical_head "$(wav_head "$1")"
}

# FFMPEG_WAV: what makes ffmpeg write exactly that layout: no metadata chunk, no encoder
# tag, and never reading the standard input of the batch that started it. One decoding
# thread: FLAC's frame threads save an idle machine 6% of an hour's decoding (2.50 s
# against 2.65 s) for 35% more CPU, and lose time where the cores are busy (3.9 s against
# 3.5 s), as they are when the worker runs a decoder on each.
FFMPEG_IN='-nostdin -hide_banner -loglevel error -y -threads 1'
FFMPEG_WAV='-vn -c:a pcm_s16le -fflags +bitexact -flags:a +bitexact -map_metadata -1 -f wav'

# ffmpeg_to_wav SRC OUT [FILTER [STREAM]]: SRC and OUT as ffmpeg takes them: "file:PATH",
# so that no name is read as one of ffmpeg's protocols ("concat:", "http:"). SRC's audio
# stream STREAM (counting audio streams from 0; the first unless told) as a canonical WAV
# at OUT, in its own channel count if mono or stereo, else mixed down to stereo. FILTER (an
# -af chain, may be empty) is applied before the channel rule.
ffmpeg_to_wav() {
    filter='aformat=channel_layouts=mono|stereo'
    [ -n "${3:-}" ] && filter="$3,$filter"
    # shellcheck disable=SC2086 # the option lists are meant to split
    ffmpeg $FFMPEG_IN -i "$1" -map "0:a:${4:-0}" -af "$filter" $FFMPEG_WAV "$2"
}

# ffmpeg_decodes SRC OUT: true when ffmpeg is installed and decoded some sound of SRC (a
# plain path) into OUT. The adapters whose own decoder is slower than ffmpeg ask it first
# (an hour of MP3: lame 7.5 s, ffmpeg 3.5 s) and keep their decoder for when it is missing
# or cannot read the file; the decoder then overwrites whatever ffmpeg left at OUT.
ffmpeg_decodes() {
    command -v ffmpeg >/dev/null 2>&1 && ffmpeg_to_wav "file:$1" "file:$2" 2>/dev/null &&
        has_audio "$2"
}

# fallback TOOL PACKAGE NAME: the adapter's own decoder TOOL is to try NAME after
# ffmpeg_decodes did not. Without TOOL, the line says NAME cannot be decoded where ffmpeg
# tried and failed, or which package to install where nothing could try.
fallback() {
    command -v "$1" >/dev/null 2>&1 && return 0
    command -v ffmpeg >/dev/null 2>&1 && fail "cannot decode $3"
    need "$1" "$2"
}

# has_audio WAV: true when WAV holds more than a header (some decoders exit 0 with just one
# when they found nothing to decode).
has_audio() {
    head=$(wav_head "$1")
    [ ${#head} -ge 135 ]
}

# finish_wav OUT: OUT is complete. A decoder that wrote another WAV layout (24 bits, more
# channels, extra chunks) has it rewritten into the canonical one beside it.
finish_wav() {
    finish_wav_with_audio "$1" || fail "no audio decoded into $1"
}

# finish_wav_with_audio OUT: finish_wav when OUT holds sound; false when it holds none, for
# an adapter that then has another decoder try.
finish_wav_with_audio() {
    head=$(wav_head "$1")
    [ ${#head} -ge 135 ] || return 1
    if ! canonical_head "$head"; then
        need ffmpeg ffmpeg
        fixed=$(mktemp "$(dirname -- "$1")/.kestrun-XXXXXX") || fail "cannot write beside $1"
        remove_on_exit "$fixed"
        ffmpeg_to_wav "file:$1" "file:$fixed" 2>/dev/null ||
            fail "cannot convert the decoded WAV $1"
        mv -f -- "$fixed" "$1" || fail "cannot replace $1"
        remove_on_exit "$1"
    fi
    keep_output
    exit 0
}

# plain_path PATH: PATH as a tool can take it among its options: a relative path that
# starts with '-' would be read as an option, so it gets a leading "./".
plain_path() {
    case "$1" in
    -*) printf './%s' "$1" ;;
    *) printf '%s' "$1" ;;
    esac
}
