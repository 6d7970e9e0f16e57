#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds everything with
# warnings as errors, runs clang-tidy and the whole test suite under a
# private Xvfb. Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"
. tools/deps.sh
. tools/private_xvfb.sh

install_missing "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
install_i386_test_packages

tools/check_style.sh

cmake -S . -B build -DCUBEVIEW_TESTS=ON -DCUBEVIEW_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build build -j"$(nproc)"
tools/check_style.sh --tidy build
# The viewer as other hosts build it, loading in-process, with the tests that apply to it.
cmake -S . -B build-inprocess -DCUBEVIEW_INPROCESS_LOADER=ON -DCUBEVIEW_TESTS=ON -DCUBEVIEW_WERROR=ON >/dev/null
cmake --build build-inprocess -j"$(nproc)"

start_private_xvfb

# ctest, for each build in turn, in a session of its own, so that a signal
# to this script stops it and every test it started, not only Xvfb.
setsid bash -c 'cd build && ctest --output-on-failure -j2 "$@" && cd ../build-inprocess && ctest --output-on-failure -j2 "$@"' \
    ctest "$@" &
tests=$!
trap 'kill -TERM -- -"$tests" 2>/dev/null; wait "$tests"; exit 143' TERM
trap 'kill -TERM -- -"$tests" 2>/dev/null; wait "$tests"; exit 129' HUP
trap 'kill -TERM -- -"$tests" 2>/dev/null; wait "$tests"; exit 130' INT
wait "$tests"
