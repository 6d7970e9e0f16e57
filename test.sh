#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and
# runs the whole test suite under a private Xvfb server.
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh
. tools/private_xvfb.sh

install_missing "${BUILD_PACKAGES[@]}" libgtest-dev libx11-dev libxtst-dev zlib1g-dev libjpeg-dev xvfb \
    clang libclang-rt-dev

# The fuzz target needs clang's libFuzzer; everything else builds with the default compiler.
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCUBEVIEW_FUZZ=ON -DCUBEVIEW_WERROR=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)"
cmake -S . -B build -DCUBEVIEW_TESTS=ON -DCUBEVIEW_WERROR=ON -DCUBEVIEW_FUZZER="$PWD/build-fuzz/fuzz_face_load" >/dev/null
cmake --build build -j"$(nproc)"

start_private_xvfb

cd build
ctest --output-on-failure -j2 "$@"
