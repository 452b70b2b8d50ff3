#!/bin/sh
# Writes the clips the speech model is checked on into OUTDIR: speech.wav (voices with
# pauses), music.wav (a rendered MIDI piece), silence.wav (digital silence, then faint
# noise) and mixed.wav (speech over music). All are 16 kHz mono 16-bit PCM with the
# canonical 44-byte header, and byte-identical from run to run on the same Debian release,
# since the fixture that goes with them holds a hash of their samples.
# Usage: sh tests/speech/make-clips.sh OUTDIR
# FORMAT and the lists of input files are split into words on purpose:
# shellcheck disable=SC2086
set -eu
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
out="$1"
soundfont=/usr/share/sounds/sf2/FluidR3_GM.sf2
for tool in espeak-ng sox fluidsynth awk; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is missing" >&2; exit 1; }
done
[ -f "$soundfont" ] || { echo "$0: $soundfont is missing (fluid-soundfont-gm)" >&2; exit 1; }

mkdir -p "$out"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kestrun-clips-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# awk's number formatting and sort order must not follow the caller's locale.
LC_ALL=C
export LC_ALL

# -R fixes the seeds of sox's noise generators; -D keeps dither noise out of the 16-bit
# conversions. Both are what make the files repeatable.
sx() {
    sox -R -D "$@"
}
# Every clip ends in this format; sox writes the 44-byte header for it.
FORMAT="-r 16000 -c 1 -b 16 -e signed-integer"

# say N VOICE SPEED TEXT: sentence N spoken by espeak-ng, as 16 kHz mono.
say() {
    espeak-ng -a 80 -v "$2" -s "$3" -w "$tmp/raw$1.wav" "$4"
    sx "$tmp/raw$1.wav" $FORMAT "$tmp/say$1.wav"
    rm -f "$tmp/raw$1.wav"
}

# gap NAME SECONDS: digital silence in the clips' format.
gap() {
    sx -n $FORMAT "$tmp/$1.wav" trim 0 "$2"
}

# Voices and speeds vary so the model hears more than one kind of voice; German is there
# because the model is meant to be language-independent.
say 1 en 160 "The storm had passed by the time the ferry reached the harbour."
say 2 en-us 175 "Nobody on the night shift could explain why the lights kept flickering."
say 3 de 150 "Am Morgen fuhren wir mit dem Zug in die Berge, und es hat den ganzen Tag geregnet."
say 4 en+f3 165 "Please keep your tickets ready; the inspector will be along shortly."
say 5 en-us+m3 140 "Seven hundred and forty two boxes were counted twice."
say 6 de+f2 160 "Das ist nicht das, was ich bestellt habe, aber es schmeckt trotzdem gut."
say 7 en 190 "If you hear this message, the recording is working and you can stop worrying."
say 8 en-us+f4 150 "Wait. Did you hear that? Something moved behind the curtain."
say 9 en+m2 170 "The committee will announce its decision after lunch on Thursday."
say 10 de 175 "Könnten Sie mir bitte sagen, wie ich zum Bahnhof komme?"
say 11 en-us 160 "Short answer: yes. Long answer: it depends on the weather."
say 12 en+f2 155 "She folded the letter, put it in her pocket, and walked out without a word."
say 13 en-us+m1 180 "Turn left at the second roundabout and follow the signs for the airport."
say 14 de+m3 145 "Wir sehen uns morgen."
say 15 en 165 "That is all for today; thank you for listening."
say 16 en-us+f3 170 "Our guests arrive at eight, so the table needs to be set by half past seven."
say 17 de 160 "Die Katze schläft auf dem Sofa, und der Hund wartet vor der Tür."
say 18 en 150 "One, two, three, four, five."

# Pauses of different lengths, some shorter than a second, some long enough that a
# detector should close the speech run between them.
gap g04 0.4
gap g07 0.7
gap g10 1.0
gap g15 1.5
gap g25 2.5
gap g40 4.0

set -- g15 say1 g10 say2 g25 say3 g07 say4 g15 say5 g40 say6 g10 say7 g04 say8 g15 \
    say9 g25 say10 g07 say11 g10 say12 g15 say13 g40 say14 g10 say15 g15
files=""
for part; do files="$files $tmp/$part.wav"; done
sx $files $FORMAT "$out/speech.wav"

# music.wav: a MIDI file written byte by byte and rendered with the General MIDI
# soundfont. Four sections of piano, strings, organ and electric piano over bass and
# drums, with a plucked or blown arpeggio in the later ones, so the model hears sustained
# tones, transients and breathy timbres. 30 bars at 120 bpm: exactly 60 s of notes.
# awk prints the file as octal escapes for printf, since awk cannot write a NUL byte
# portably.
awk 'function esc(n) { return sprintf("\\%03o", n) }
     function vlq(n,   s) {
        s = esc(n % 128); n = int(n / 128)
        while (n > 0) { s = esc(n % 128 + 128) s; n = int(n / 128) }
        return s
     }
     # ev TICK BYTES: one event at absolute tick TICK, given as decimal bytes.
     function ev(t, list,   a, k, i) {
        body = body vlq(t - last); last = t
        k = split(list, a, " ")
        for (i = 1; i <= k; i++) body = body esc(a[i])
     }
     # release STEP: the note-offs due at eighth STEP, each with its own delta time.
     function release(s,   a, k, i) {
        if (!(s in offs)) return
        k = split(offs[s], a, " ")
        for (i = 1; i <= k; i += 3) ev(s * 48, a[i] " " a[i + 1] " " a[i + 2])
        delete offs[s]
     }
     # on TICK CHANNEL NOTE VELOCITY STEPS: a note held for STEPS eighths.
     function on(t, ch, note, vel, steps,   s) {
        ev(t, (144 + ch) " " note " " vel)
        s = int(t / 48) + steps
        offs[s] = offs[s] " " (128 + ch) " " note " 0"
     }
     BEGIN {
        # One three-note chord per bar, over an eight-bar cycle, and its bass root.
        split("60 64 67|57 60 64|53 57 60|55 59 62|60 64 67|52 55 59|50 53 57|55 59 62", chord, "|")
        split("36 33 29 31 36 28 26 31", bass, " ")
        # Programs per section for the chords, the bass and the arpeggio.
        split("0 48 16 4", padprog, " "); split("32 33 38 33", bassprog, " ")
        split("0 24 11 73", arpprog, " ")
        body = ""; last = 0
        ev(0, "255 81 3 7 161 32")
        ev(0, "185 7 100")
        for (bar = 0; bar < 30; bar++) {
           sec = int(bar / 8) + 1
           split(chord[bar % 8 + 1], c, " ")
           for (step = 0; step < 8; step++) {
              s = bar * 8 + step; t = s * 48
              release(s)
              if (step == 0 && bar % 8 == 0) {
                 ev(t, "192 " padprog[sec]); ev(t, "193 " bassprog[sec]); ev(t, "194 " arpprog[sec])
                 ev(t, "176 7 " (sec == 1 ? 110 : 85)); ev(t, "177 7 110"); ev(t, "178 7 90")
              }
              if (step == 0) { on(t, 0, c[1], 70, 8); on(t, 0, c[2], 62, 8); on(t, 0, c[3], 66, 8) }
              if (step % 4 == 0) on(t, 1, bass[bar % 8 + 1] + (step == 4 ? 7 : 0), 96, 3)
              if (sec > 1) {
                 on(t, 2, c[step % 3 + 1] + 12 * (1 + int(step / 4)), 72 + (step % 2) * 16, 1)
                 on(t, 9, 42, step % 2 ? 48 : 72, 1)
                 if (step == 0 || step == 4 || (step == 7 && bar % 2)) on(t, 9, 36, 110, 1)
                 if (step == 2 || step == 6) on(t, 9, 38, 100, 1)
                 if (step == 0 && bar % 8 == 0) on(t, 9, 49, 100, 8)
              }
           }
        }
        release(240)
        ev(240 * 48, "255 47 0")
        len = length(body) / 4
        # Format 0, one track, 96 ticks per quarter note.
        printf "MThd%s%s%s%s", esc(0) esc(0) esc(0) esc(6), esc(0) esc(0), esc(0) esc(1), esc(0) esc(96)
        printf "MTrk%s%s%s%s%s", esc(int(len / 16777216) % 256), esc(int(len / 65536) % 256),
           esc(int(len / 256) % 256), esc(len % 256), body
     }' >"$tmp/music.esc"
# shellcheck disable=SC2059
printf "$(cat "$tmp/music.esc")" >"$tmp/music.mid"
# -f /dev/null keeps a user's fluidsynth command file out of the render; chorus and
# reverb stay on since they are part of what real music sounds like.
fluidsynth -q -n -i -f /dev/null -g 0.5 -r 44100 -O float -T raw -E little \
    -F "$tmp/music.f32" "$soundfont" "$tmp/music.mid" >/dev/null
# fluidsynth stops early without failing on a MIDI file it cannot read to the end.
[ "$(wc -c <"$tmp/music.f32")" -ge $((60 * 44100 * 8)) ] ||
    { echo "$0: fluidsynth rendered less than 60 s of music" >&2; exit 1; }
sx -t f32 -r 44100 -c 2 "$tmp/music.f32" $FORMAT "$tmp/music-full.wav" \
    remix - trim 0 60 gain -n -3
mv "$tmp/music-full.wav" "$out/music.wav"

# silence.wav: 10 s of zeros, then 10 s of faint white noise and 10 s of slightly louder
# brown noise, the kind of floor a quiet scene in a film has.
sx -n $FORMAT "$tmp/s1.wav" trim 0 10
sx -n $FORMAT "$tmp/s2.wav" synth 10 whitenoise vol 0.001
sx -n $FORMAT "$tmp/s3.wav" synth 10 brownnoise vol 0.004
sx "$tmp/s1.wav" "$tmp/s2.wav" "$tmp/s3.wav" $FORMAT "$out/silence.wav"

# mixed.wav: other sentences from the same voices, speech about 5 dB above the music.
# Levels are RMS over the speech alone (no pauses) and over the music as a whole, so the
# ratio is the one a listener hears while someone talks.
set -- say2 say4 say7 say9 say12 say13 say16 say17 say18
files=""
for part; do files="$files $tmp/$part.wav"; done
sx $files $FORMAT "$tmp/voiced.wav"
rms() {
    sox "$1" -n stats 2>&1 | awk '$1 == "RMS" && $2 == "lev" { print $4; exit }'
}
music_volume=$(awk -v s="$(rms "$tmp/voiced.wav")" -v m="$(rms "$out/music.wav")" \
    'BEGIN { printf "%.6f", 0.5 * exp((s - 5 - m) / 20 * log(10)) }')
set -- g25 say2 g10 say4 g15 say7 g07 say9 g25 say12 g10 say13 g04 say16 g15 say17 g10 say18
files=""
for part; do files="$files $tmp/$part.wav"; done
sx $files $FORMAT "$tmp/talk.wav"
# Each input at half level so the sum cannot clip before the mix is normalised; sox pads
# the shorter input with silence.
sx -m -v 0.5 "$tmp/talk.wav" -v "$music_volume" "$out/music.wav" $FORMAT "$tmp/mix.wav" \
    trim 0 60 gain -n -1
mv "$tmp/mix.wav" "$out/mixed.wav"
