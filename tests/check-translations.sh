#!/bin/sh
# Fails when the window's translation is not what lupdate makes of the sources: a text added
# or changed in shell/ without its English, or an English kept for a text that is gone.
# Usage: check-translations.sh LUPDATE SOURCE_DIR
set -eu
lupdate=$1
src=$2
ts="$src/shell/translations/kestrun_en.ts"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp "$ts" "$tmp/kestrun_en.ts"
"$lupdate" -silent -locations none -no-obsolete -source-language ru_RU -target-language en \
    "$src/shell" -ts "$tmp/kestrun_en.ts"
if ! cmp -s "$ts" "$tmp/kestrun_en.ts"; then
    echo "shell/translations/kestrun_en.ts is not up to date with the window's texts:" >&2
    diff -u "$ts" "$tmp/kestrun_en.ts" >&2 || true
    echo "Run: cmake --build build --target update_translations, then write the English." >&2
    exit 1
fi
