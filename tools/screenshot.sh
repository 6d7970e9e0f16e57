#!/usr/bin/env bash
# Makes docs/cubeview.png, the picture in the README: the viewer on the
# shipped faces, turned by a few key presses, under a private Xvfb.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
. tools/deps.sh
. tools/private_xvfb.sh

install_missing "${BUILD_PACKAGES[@]}" xvfb xdotool x11-apps netpbm
cmake -S . -B build -DCUBEVIEW_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target cubeview >/dev/null
start_private_xvfb

./build/cubeview &
viewer=$!
trap 'kill "$viewer" 2>/dev/null; kill "$XVFB_PID" 2>/dev/null' EXIT
window=$(xdotool search --sync --name '^color$' | head -n 1)
xdotool windowfocus --sync "$window"
# 30 degrees about y, then 20 about x: three inside faces show.
xdotool key --delay 5 $(printf 'd %.0s' $(seq 15)) $(printf 's %.0s' $(seq 10))
sleep 1
mkdir -p docs
xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng > docs/cubeview.png
echo "wrote docs/cubeview.png"
