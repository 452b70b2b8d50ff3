#!/bin/sh
# Installs the Debian packages that building, testing and running Kestrun need,
# and only those that are missing, so a second run costs a few dpkg queries.
# Extra package names on the command line are installed too (the screenshot script
# asks for Xvfb this way).
set -eu

# The decoders are what the adapters in decoders/ run.
PACKAGES="cmake make g++ pkg-config libgtest-dev libgmock-dev libcli11-dev espeak-ng sox
qt6-base-dev locales lame faad vorbis-tools musepack-tools wavpack flac libdca-utils ffmpeg $*"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
