#!/usr/bin/env bash
# Start-up benchmark: time from launch to the first frame of the viewer
# against a build that decodes the faces in-process one after another,
# alternating, medians of RUNS runs each (default 9). Under a private Xvfb.
# Usage: bench/run.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
. tools/private_xvfb.sh

install_missing "${BUILD_PACKAGES[@]}" libgtest-dev libx11-dev libxtst-dev zlib1g-dev libjpeg-dev xvfb
cmake -S . -B build -DCUBEVIEW_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target cubeview cubeview_inprocess startup_bench >/dev/null
start_private_xvfb
./build/bench/startup_bench build/cubeview build/bench/cubeview_inprocess "$@"
