#!/usr/bin/env bash
# Lists the damaged pictures of the loader's comparison test whose decode in
# process reads memory SOIL never wrote, or writes past its buffers, as
# valgrind sees it: those the test leaves out. Needs the tests built
# (./test.sh) and valgrind; takes some minutes.
# Usage: tests/damaged_under_valgrind.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
. tools/private_xvfb.sh
build=$(readlink -f "${1:-build-test}")
for program in face_loader_test soil_decode; do
    [ -x "$build/tests/$program" ] || { echo "No $build/tests/$program: build the tests first (./test.sh)" >&2; exit 1; }
done
command -v valgrind >/dev/null || { echo "This needs valgrind (Debian package valgrind)" >&2; exit 1; }
dir=$(mktemp -d)
start_private_xvfb
trap 'stop_private_xvfb; rm -rf "$dir"' EXIT
CUBEVIEW_DAMAGED_DIR=$dir "$build/tests/face_loader_test" --gtest_filter='*PixelForPixel*' >/dev/null || true
for n in $(ls "$dir" | sort -n); do
    # A decode that crashes still has its say; one that hangs gives no
    # verdict within the minute, and is white anyway.
    said=$(timeout 60 valgrind -q "$build/tests/soil_decode" "$dir/$n" 2>&1 >/dev/null || true)
    if grep -qE 'uninitialised|Invalid (read|write)' <<<"$said"; then
        echo "$n"
    fi
done
