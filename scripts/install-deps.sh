#!/bin/sh
# Installs the Debian packages that building, testing and running Kestrun need, and only
# those that are missing, so a second run costs a few dpkg queries; then fetches the
# speech model into build/model (pinned and checksummed; kept once there).
# Extra package names on the command line are installed too (the screenshot script
# asks for Xvfb this way).
set -eu

# The decoders are what the adapters in decoders/ run (ffmpeg brings ffprobe, and sox the
# AMR decoder in libsox-fmt-base that ffdecode.exe prefers to ffmpeg's). The icon is
# rendered by rsvg-convert; the desktop files are checked against their validators and the
# MIME database; make deb's dependencies are found by dpkg-shlibdeps, which needs file.
# The window's English is compiled from its .ts by lrelease (qt6-tools-dev brings the CMake
# side of it).
PACKAGES="cmake make g++ clang libclang-rt-14-dev pkg-config libgtest-dev libgmock-dev libcli11-dev espeak-ng sox
qt6-base-dev qt6-multimedia-dev qt6-tools-dev qt6-l10n-tools locales lame mpg123 faad vorbis-tools musepack-tools wavpack flac libdca-utils ffmpeg
libonnx-dev libprotobuf-dev libopenblas-serial-dev libsoxr-dev libmpg123-dev libsndfile1-dev fluidsynth fluid-soundfont-gm
librsvg2-bin desktop-file-utils appstream shared-mime-info dpkg-dev file binutils $*"

# The model comes from the npm registry; a machine whose Node.js has its own npm keeps it.
command -v npm >/dev/null 2>&1 || PACKAGES="$PACKAGES npm"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi

# Without the model the speech detector says so and the other two work as before.
sh "$(dirname "$0")/fetch-model.sh" ||
    echo "install-deps: the speech model could not be fetched; the speech detector is unavailable" >&2
