#!/bin/sh
# The speech quality set: sentences spoken by espeak-ng in several voices, languages and
# speeds, a song written by make_speech_set and rendered by fluidsynth, and the mix of the
# two into six 3-minute variants with their exact truth (see make_speech_set.cpp). Made
# once into OUTDIR and kept there; a rerun with the set complete does nothing.
# Usage: sh bench/make_speech_set.sh MAKE_SPEECH_SET OUTDIR
set -eu
tool=$1
out=$2
# Raised whenever the sentences, the song or the mix change, so old sets are remade.
version=1
seconds=180
soundfont=/usr/share/sounds/sf2/FluidR3_GM.sf2

if [ -f "$out/complete" ] && [ "$(cat "$out/complete")" = "$version" ]; then
    exit 0
fi
for program in espeak-ng fluidsynth sox; do
    if ! command -v "$program" >/dev/null 2>&1; then
        echo "make_speech_set: $program not found: apt install $program" >&2
        exit 1
    fi
done
if [ ! -f "$soundfont" ]; then
    echo "make_speech_set: $soundfont not found: apt install fluid-soundfont-gm" >&2
    exit 1
fi
case $tool in
/*) ;;
*) tool="$(pwd)/$tool" ;;
esac

echo "make_speech_set: generating the speech set in $out, once" >&2
# Built beside the target and renamed, so an interrupted run never looks complete.
part="$out.part"
rm -rf "$part"
mkdir -p "$part/sentences"
cd "$part"

# voice|words per minute|pitch|text. The languages take turns, so every stretch of the
# mix hears several of them.
i=0
while IFS='|' read -r voice speed pitch text; do
    i=$((i + 1))
    n=$(printf '%02d' "$i")
    espeak-ng -v "$voice" -s "$speed" -p "$pitch" -w "sentences/$n.raw.wav" "$text"
    # Without dither, so the same text always gives the same samples.
    sox -D "sentences/$n.raw.wav" -r 44100 -b 16 -e signed-integer "sentences/$n.wav"
    rm "sentences/$n.raw.wav"
    echo "sentences/$n.wav" >>list.txt
done <<'EOF'
en|165|50|The last train to the coast leaves at ten, so we should hurry.
de+f2|150|60|Ich habe den Schlüssel gestern Abend auf dem Tisch liegen lassen.
fr+m2|175|45|Nous avons attendu sous la pluie pendant presque une heure.
ru|160|50|Сегодня вечером мы поедем к бабушке на дачу.
en-us+f3|190|65|Honestly, I never thought you would come back here.
en+m3|130|40|Wait.
de|180|50|Kannst du mir bitte sagen, wo der Bahnhof ist?
ru+f4|140|70|Я не знаю, что ты имеешь в виду, объясни ещё раз.
fr|150|55|C'est la dernière fois que je te le demande.
en-us|145|45|Listen to me carefully, because I will only say this once.
de+m3|200|45|Das Wetter war so schlecht, dass wir den Ausflug abgesagt haben.
en+f2|175|70|Where did you put the map?
ru+m2|185|45|Машина сломалась прямо посреди дороги, и нам пришлось идти пешком.
fr+f3|200|70|Tu crois vraiment qu'ils vont nous laisser passer sans rien dire?
en-us+m2|160|35|The doctor said it would take at least three weeks to heal.
de+f4|135|75|Nein, danke.
en|210|55|If we leave now we can still make it before the gates close for the night.
ru|150|40|Позвони мне, когда доберёшься до гостиницы.
fr+m3|160|40|Il faisait si froid ce matin que le lac était gelé.
en-us+f4|150|75|That is not what I asked you to do.
de|160|55|Wir sehen uns morgen früh um halb acht vor dem Museum.
en+m2|180|45|Get down, now!
ru+f2|175|65|Ты помнишь, как мы впервые встретились на этой станции?
fr|185|50|Le directeur veut vous voir dans son bureau tout de suite.
en-us|170|50|Everyone has a price, the trick is finding out what it is.
de+m2|145|40|Hast du das gehört?
en+f3|155|65|She packed her bag, locked the door, and never looked back.
ru+m3|130|35|Тише, они идут.
fr+f2|165|60|On se retrouve devant la gare à midi, d'accord?
en-us+m3|200|45|We have got about four minutes before the whole building comes down.
de+f3|170|70|Ich glaube, wir haben uns verfahren, die Straße kenne ich nicht.
en|140|50|Thank you.
ru|170|55|Эти документы нужно подписать до конца недели.
fr+m2|145|45|Personne ne sait où il est allé après la guerre.
en-us+f2|165|70|Could you turn the music down a little, I can barely hear myself think.
de|190|50|Das ist die beste Nachricht, die ich seit Jahren gehört habe.
en+m3|170|40|The river rose three feet overnight and flooded the lower fields.
ru+f3|160|70|Не забудь взять зонт, обещали дождь.
fr|175|55|Je ne comprends pas pourquoi tu as fait ça.
en-us|185|50|Pull over by the gas station, I need to make a call.
EOF

"$tool" midi song.mid $((seconds + 10))
fluidsynth -ni -q -F music.wav -r 44100 "$soundfont" song.mid >/dev/null
"$tool" mix list.txt music.wav "$seconds" .
# The inputs of the mix are not needed again: only the variants, the truth and the layout
# are kept.
rm -rf sentences music.wav list.txt
echo "$version" >complete
cd - >/dev/null
rm -rf "$out"
mv "$part" "$out"
