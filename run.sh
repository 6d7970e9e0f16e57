#!/usr/bin/env bash
# Installs what is missing, builds the viewer and starts it on the shipped
# faces in Data/. Arguments are passed on to the viewer (and so to GLUT).
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh

install_missing "${BUILD_PACKAGES[@]}"
cmake -S . -B build -DCUBEVIEW_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target cubeview >/dev/null

if [ -z "${DISPLAY:-}" ]; then
    echo "cubeview needs an X display and DISPLAY is not set; without a screen, run: xvfb-run -s '-screen 0 1280x1024x24' ./build/cubeview" >&2
    exit 1
fi
exec ./build/cubeview "$@"
