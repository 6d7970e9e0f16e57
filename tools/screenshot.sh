#!/usr/bin/env bash
# Makes docs/cubeview.png, the picture in the README: the viewer on the
# shipped faces, turned by a few key presses, under a private Xvfb.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
. tools/deps.sh
. tools/private_xvfb.sh

install_missing "${BUILD_PACKAGES[@]}" xvfb xdotool x11-apps netpbm || exit 1
# The build run.sh makes, with the same options.
cmake -S . -B build-run -DCUBEVIEW_TESTS=OFF -DCUBEVIEW_WERROR=OFF >/dev/null
cmake --build build-run -j"$(nproc)" --target cubeview >/dev/null
start_private_xvfb

./build-run/bin/cubeview &
viewer=$!
trap 'kill "$viewer" 2>/dev/null; kill "$XVFB_PID" 2>/dev/null' EXIT
# The window, looked for until it shows, while the viewer lives, for at most 30 s.
window=
for _ in $(seq 300); do
    window=$(xdotool search --name '^color$' 2>/dev/null | head -n 1) || true
    [ -n "$window" ] && break
    if ! kill -0 "$viewer" 2>/dev/null; then
        echo "screenshot.sh: the viewer ended before its window showed" >&2
        exit 1
    fi
    sleep 0.1
done
if [ -z "$window" ]; then
    echo "screenshot.sh: no window titled \"color\" within 30 s" >&2
    exit 1
fi
xdotool windowfocus --sync "$window"
# 30 degrees about y, then 20 about x: three inside faces show.
xdotool key --delay 5 $(printf 'd %.0s' $(seq 15)) $(printf 's %.0s' $(seq 10))
sleep 1
mkdir -p docs
xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng > docs/cubeview.png
echo "wrote docs/cubeview.png"
