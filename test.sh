#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and
# runs the whole test suite under a private Xvfb server.
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh

install_missing "${BUILD_PACKAGES[@]}" libgtest-dev libx11-dev libxtst-dev xvfb
cmake -S . -B build -DCUBEVIEW_TESTS=ON -DCUBEVIEW_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)"

# A private X server on a free display number, always stopped on exit.
# Mesa's software renderer draws the same pixels on every run.
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 2048x1536x24 -nolisten tcp -noreset 3>"$display_file" 2>/dev/null &
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; rm -f "$display_file"' EXIT
for _ in $(seq 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
done
[ -s "$display_file" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$display_file")"

cd build
ctest --output-on-failure -j2 "$@"
