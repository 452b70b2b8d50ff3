#!/bin/sh
# The Debian package end to end: built by CPack from a finished build into a scratch
# folder, its contents and dependencies checked, installed by dpkg into a scratch root
# (never into the system), and the installed kestrun-cli run there on a spoken WAV and
# on an MP3, with the adapters and the speech model it finds beside itself.
# Usage: package_check.sh BUILD_DIR EXPECTED_CONTENTS VERSION
set -u
build=$1 expected=$2 version=$3
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT INT TERM

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
die() {
    echo "FAIL: $*"
    exit 1
}
# cues FILE: how many cues an SRT holds.
cues() {
    n=$(grep -c -- ' --> ' "$1" 2>/dev/null)
    echo "${n:-0}"
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; die "cpack failed"; }
set -- "$scratch"/out/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || die "cpack made no single .deb: $*"
deb=$1
echo "built ${deb##*/}: $(wc -c <"$deb") bytes"

# What the package must hold; links and files alike.
contents=$(dpkg-deb --contents "$deb" | awk '{ sub(/^\.\//, "", $6); print $6 }')
while read -r path; do
    [ -n "$path" ] || continue
    echo "$contents" | grep -qxF "$path" || fail "the package lacks $path"
done <"$expected"

root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
: >"$root/var/lib/dpkg/available"
dpkg --root="$root" --force-depends --force-not-root --log=/dev/null -i "$deb" \
    >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; die "dpkg cannot install ${deb##*/}"; }

# Each library a program or adapter links must come from a package the package depends on:
# a program linked against something new, or dependencies no longer computed, show here.
depends=$(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/(.*//; s/[[:space:]]//g; s/:.*//')
echo "$depends" | grep -qx ffmpeg || fail "Depends lacks ffmpeg, which most adapters run"
# packages: the package names of the dpkg -S lines on standard input, one a line.
packages() {
    grep -v '^diversion' | sed 's/: .*//' | tr ',' '\n' | sed 's/[[:space:]]//g; s/:.*//' | sort -u
}
depended() {
    for p in $1; do
        echo "$depends" | grep -qxF "$p" && return 0
    done
    return 1
}
libs=""
for elf in "$root"/usr/lib/kestrun/*; do
    [ "$(head -c 4 "$elf" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
    needed=$(objdump -p "$elf" | awk '$1 == "NEEDED" { print $2 }')
    libs="$libs $needed"
    # A library found through the program's RUNPATH (the single-threaded OpenBLAS) is
    # that very file, so its own package must be depended on, not just any variant.
    for dir in $(objdump -p "$elf" | awk '$1 == "RUNPATH" { print $2 }' | tr ':' ' '); do
        for lib in $needed; do
            [ -e "$dir/$lib" ] || continue
            owners=$(dpkg -S "$dir/$lib" 2>/dev/null | packages)
            depended "$owners" || fail "${elf##*/} loads $dir/$lib, but $(echo $owners) is not in Depends"
        done
    done
done
libs=$(echo $libs | tr ' ' '\n' | sort -u)
[ -n "$libs" ] || fail "no program in the package links any library"
# One dpkg query for all of them.
owned=$(dpkg -S $(for lib in $libs; do echo "*/$lib"; done) 2>/dev/null)
for lib in $libs; do
    owners=$(echo "$owned" | grep "/$lib\$" | packages)
    [ -n "$owners" ] || { fail "$lib is linked but no package provides it"; continue; }
    depended "$owners" && continue
    # A library with variants (libopenblas0-serial, -pthread, ...) may be depended on
    # through the package that picks one: what the Depends depend on, asked once.
    [ -n "${indirect+set}" ] || indirect=$(apt-cache depends --no-recommends --no-suggests \
        $depends 2>/dev/null | sed -n 's/^ *|\{0,1\}Depends: //p')
    echo "$indirect" | grep -qxF "$owners" ||
        fail "$lib is linked, but none of $(echo $owners) is in Depends"
done

cli=$root/usr/bin/kestrun-cli
got=$("$cli" --version 2>&1)
[ "$got" = "kestrun-cli $version" ] || fail "kestrun-cli --version says '$got'"

# From a folder of their own, so nothing but the installed folder offers adapters.
work=$scratch/work
mkdir -p "$work/wav" "$work/mp3"
cd "$work" || die "no $work"
sh "$here/../scripts/make-speech.sh" wav/speech.wav >/dev/null 2>&1 || die "cannot make a speech sample"
lame --quiet -b 64 wav/speech.wav mp3/talk.mp3 || die "lame cannot encode the sample"

"$cli" wav/speech.wav >"$scratch/run.log" 2>&1 || { cat "$scratch/run.log"; fail "kestrun-cli on a WAV failed"; }
n=$(cues wav/speech.srt)
[ "$n" -ge 3 ] || fail "the WAV's SRT holds $n cues, not its 3 phrases"

"$cli" -d speech -o wav/model.srt wav/speech.wav >"$scratch/run.log" 2>&1 ||
    { cat "$scratch/run.log"; fail "kestrun-cli -d speech failed: is the model installed beside it?"; }
n=$(cues wav/model.srt)
[ "$n" -ge 3 ] || fail "the speech model's SRT holds $n cues, not its 3 phrases"

"$cli" mp3/talk.mp3 >"$scratch/run.log" 2>&1 || { cat "$scratch/run.log"; fail "kestrun-cli on an MP3 failed"; }
[ -s mp3/talk.wav ] || fail "no WAV decoded from the MP3 by the installed lame.exe"
n=$(cues mp3/talk.srt)
[ "$n" -ge 3 ] || fail "the MP3's SRT holds $n cues, not its 3 phrases"

[ $failures -eq 0 ]
