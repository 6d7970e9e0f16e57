#!/usr/bin/env bash
# Start-up benchmark: time from launch to the first frame of the viewer, and
# peak memory on the way, against the same viewer without its decoders'
# sandbox, loading in-process (the plain loader), and handed pictures
# already decoded; medians of RUNS runs each (default 9; a fifth of that, at
# least 3 and at most RUNS, for the big JPEG faces). ROW (1 to 11) runs that
# row alone, `all` every row; by default the long rows (7 to 11: worst cases
# and six pictures at the budget), which take seconds to minutes and run
# once, are left out. Peak memory needs root and a cgroup memory controller;
# without them, times only. Under a private Xvfb.
# Usage: bench/run.sh [RUNS [ROW | all]]
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
. tools/deps.sh
. tools/private_xvfb.sh

install_missing "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" || exit 1
cmake -S . -B build-bench -DCUBEVIEW_TESTS=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target cubeview cubeview_unsandboxed cubeview_inprocess cubeview_predecoded startup_bench >/dev/null
start_private_xvfb
./build-bench/bench/startup_bench build-bench/bin/cubeview build-bench/bench/unsandboxed/bin/cubeview_unsandboxed \
    build-bench/bench/cubeview_inprocess build-bench/bench/cubeview_predecoded "$@"
