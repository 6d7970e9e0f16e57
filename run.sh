#!/usr/bin/env bash
# Installs what is missing, builds the viewer and starts it on the shipped
# faces in Data/. Arguments are passed on to the viewer (and so to GLUT).
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
cd "$here"
. tools/deps.sh

install_missing "${BUILD_PACKAGES[@]}" || exit 1
# A build of its own: warnings never stop a user's build, and ./test.sh's
# options never reach it.
cmake -S . -B build-run -DCUBEVIEW_TESTS=OFF -DCUBEVIEW_WERROR=OFF >/dev/null
cmake --build build-run -j"$(nproc)" --target cubeview >/dev/null

if [ -z "${DISPLAY:-}" ]; then
    cat >&2 <<HINT
cubeview needs an X display, and DISPLAY is not set. On a desktop, name it:
    DISPLAY=:0 $here/run.sh
Without a screen, run it on a virtual one (Debian package xvfb: apt-get install -y xvfb):
    xvfb-run -a $here/run.sh
HINT
    exit 1
fi
exec ./build-run/bin/cubeview "$@"
