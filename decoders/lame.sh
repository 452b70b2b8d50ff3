#!/bin/sh
# lame.sh --decode -q 0 SRC WAV: what the compiled lame.exe hands over, which is lame.exe
# itself where it could not be built: an MP3 decoded by ffmpeg, more than twice as fast as
# Debian's lame, which decodes it where ffmpeg is missing or fails. A short MP3 goes to
# mpg123 first: ffmpeg takes 0.12 s to start, longer than mpg123 needs for a whole minute,
# while over an hour ffmpeg's larger writes make it the faster (2.9 s against 3.7 s). AIFF
# files come this way too; lame cannot read them, so only ffmpeg does. Run as lame.sh, it
# was handed an MP3 that libmpg123 already could not decode whole, so mpg123, built on the
# same library, is not asked again: given a stream that changes its rate, it writes only
# the part after the change, where ffmpeg converts and keeps all of it.
set -u
case $0 in */*) . "${0%/*}/adapter-common.sh" ;; *) . ./adapter-common.sh ;; esac
adapter_init lame.exe
[ $# -eq 5 ] && [ "$1" = --decode ] && [ "$2" = -q ] && [ "$3" = 0 ] ||
    usage '--decode -q 0 SRC WAV'
src=$(plain_path "$4")
regular_input "$4"
wav=$(plain_path "$5")
[ -r "$src" ] || fail "cannot read $4"
remove_on_exit "$wav"
magic=$(head -c 4 -- "$src")
# Under about a quarter of an hour at 128 kbit/s.
if [ "$magic" != FORM ] && [ "${0##*/}" != lame.sh ] && command -v mpg123 >/dev/null 2>&1 &&
    [ "$(wc -c <"$src")" -lt 16000000 ]; then
    mpg123 -q -w "$wav" -- "$src" 2>/dev/null && finish_wav_with_audio "$wav"
fi
ffmpeg_decodes "$src" "$wav" && finish_wav "$wav"
if [ "$magic" = FORM ]; then
    need ffmpeg ffmpeg
    fail "cannot decode $4"
fi
fallback lame lame "$4"
lame --decode --quiet "$src" "$wav" 2>/dev/null || fail "cannot decode $4"
finish_wav "$wav"
