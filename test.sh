#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds everything with
# warnings as errors (and the in-process variant), runs clang-tidy and the
# whole test suite of both under a private Xvfb. Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"
. tools/deps.sh
. tools/private_xvfb.sh

install_missing "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
install_i386_test_packages

tools/check_style.sh

# Optimised as the viewer always is, but without debug information, which
# would take a third of the time the builds take.
optimised=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG")
cmake -S . -B build "${optimised[@]}" -DCUBEVIEW_TESTS=ON -DCUBEVIEW_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
# clang-tidy needs only the compile database: it runs from here on, beside
# the builds and the tests, in a session of its own and at a lower priority,
# that of its session's scheduling group too where the kernel groups them.
setsid bash -c 'echo 10 >/proc/self/autogroup 2>/dev/null; exec nice -n 10 tools/check_style.sh --tidy build' \
    >build/tidy.log 2>&1 &
tidy=$!
stop_tidy() { kill -TERM -- -"$tidy" 2>/dev/null || true; }
trap stop_tidy EXIT
cmake --build build -j"$(nproc)"
# The viewer as other hosts build it, loading in-process, with the tests that apply to it.
cmake -S . -B build-inprocess "${optimised[@]}" -DCUBEVIEW_INPROCESS_LOADER=ON -DCUBEVIEW_TESTS=ON -DCUBEVIEW_WERROR=ON \
    >/dev/null
cmake --build build-inprocess -j"$(nproc)"

start_private_xvfb
trap 'stop_tidy; stop_private_xvfb' EXIT

# The tests of each build in turn, in a session of their own, so that a
# signal to this script stops every test they started, not only Xvfb. Most
# of them wait (for a window, a frame, a child), so more run than there are
# processors.
setsid bash -c '(cd build && ctest --output-on-failure -j4 "$@") && (cd build-inprocess && ctest --output-on-failure -j2 "$@")' \
    ctest "$@" &
tests=$!
trap 'kill -TERM -- -"$tests" 2>/dev/null; wait "$tests"; exit 143' TERM
trap 'kill -TERM -- -"$tests" 2>/dev/null; wait "$tests"; exit 129' HUP
trap 'kill -TERM -- -"$tests" 2>/dev/null; wait "$tests"; exit 130' INT
wait "$tests"
if ! wait "$tidy"; then
    cat build/tidy.log
    echo "clang-tidy: the findings above fail the run" >&2
    exit 1
fi
