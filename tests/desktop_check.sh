#!/bin/sh
# The checks of the desktop files, one group per call, each run by CTest:
#   desktop_check.sh entry DESKTOP ID          validator-clean, its icon named by the id
#   desktop_check.sh metainfo XML VERSION      AppStream-clean, newest release is VERSION
#   desktop_check.sh mime DESKTOP RUNNERS_CPP  every extension of the decoder table has its
#                                              shared-mime-info type in MimeType=
#   desktop_check.sh icons ROOT ID "SIZES"     each PNG rendered, at its size
set -u

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

check_entry() {
    out=$(desktop-file-validate "$1" 2>&1) || fail "desktop-file-validate rejects $1"
    [ -z "$out" ] && echo "desktop-file-validate: clean" || fail "desktop-file-validate: $out"
    icon=$(sed -n 's/^Icon=//p' "$1")
    [ "$icon" = "$2" ] || fail "Icon=$icon, but the icons are installed as $2"
}

check_metainfo() {
    out=$(appstreamcli validate --no-net --pedantic "$1" 2>&1) || fail "appstreamcli rejects $1"
    echo "$out"
    # Pedantic hints too: the record has none today, so a new one is a slip.
    echo "$out" | grep -q '^[EWIP]: ' && fail "appstreamcli reports issues in $1"
    newest=$(grep -m1 -o '<release version="[^"]*"' "$1")
    [ "$newest" = "<release version=\"$2\"" ] ||
        fail "the newest release is $newest, but the project is version $2"
}

# Extensions that shared-mime-info has no type for, so no MimeType= can name them; an
# MPEG audio .mpa is recognised by its content as audio/mpeg, which the entry lists.
UNTYPED="mpa ofr caf w64"
GLOBS=/usr/share/mime/globs2

check_mime() {
    [ -r "$GLOBS" ] || { fail "no $GLOBS: apt install shared-mime-info"; return; }
    listed=$(sed -n 's/^MimeType=//p' "$1" | tr ';' '\n' | sed '/^$/d')
    exts=$(sed -n 's/^ *{"\([a-z0-9]*\)", Decoder::.*/\1/p' "$2")
    # A table that changed its shape must not pass by yielding nothing.
    n=$(echo "$exts" | wc -w)
    [ "$n" -ge 20 ] || fail "read only $n extensions from $2"
    for ext in $exts; do
        types=$(awk -F: -v g="*.$ext" 'tolower($3) == g { print $2 }' "$GLOBS")
        untyped=no
        case " $UNTYPED " in *" $ext "*) untyped=yes ;; esac
        if [ -z "$types" ]; then
            [ $untyped = yes ] || fail ".$ext has no shared-mime-info type: list it in UNTYPED"
            continue
        fi
        [ $untyped = yes ] && fail ".$ext now has a type ($(echo $types)): take it out of UNTYPED"
        found=no
        for t in $types; do
            echo "$listed" | grep -qxF "$t" && found=yes
        done
        [ $found = yes ] || fail ".$ext: none of $(echo $types) is in MimeType="
    done
    # A misspelt or retired name would match no file at all.
    for t in $listed; do
        grep -qxF "$t" /usr/share/mime/types || fail "MimeType= names $t, which is no known type"
        grep -q "^$t " /usr/share/mime/aliases && fail "MimeType= names $t, an alias"
    done
    echo "$n extensions checked against $(echo "$listed" | wc -l) MIME types"
}

check_icons() {
    root=$1 id=$2
    for size in $3; do
        png=$root/${size}x$size/apps/$id.png
        if [ ! -s "$png" ]; then
            fail "$png not rendered"
            continue
        fi
        # The signature, then IHDR's width and height, big-endian.
        head=$(od -An -tu1 -N24 "$png" | tr -s ' \n' '  ')
        set -- $head
        [ "$1 $2 $3 $4" = "137 80 78 71" ] || fail "$png is no PNG"
        w=$(( (${17} << 24) | (${18} << 16) | (${19} << 8) | ${20} ))
        h=$(( (${21} << 24) | (${22} << 16) | (${23} << 8) | ${24} ))
        [ "$w"x"$h" = "$size"x"$size" ] || fail "$png is ${w}x$h"
    done
}

what=$1
shift
case $what in
entry) check_entry "$@" ;;
metainfo) check_metainfo "$@" ;;
mime) check_mime "$@" ;;
icons) check_icons "$@" ;;
*) echo "usage: $0 entry|metainfo|mime|icons ..." >&2; exit 2 ;;
esac
[ $failures -eq 0 ]
