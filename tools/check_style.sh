#!/usr/bin/env bash
# Checks every C++ source against .clang-format. With --tidy BUILD_DIR...,
# runs clang-tidy's checks from .clang-tidy instead, over the sources
# compiled in each BUILD_DIR (configured with CMAKE_EXPORT_COMPILE_COMMANDS).
# Prints what it finds and fails if it finds anything.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

if [ "${1:-}" = --tidy ]; then
    shift
    for build in "$@"; do
        # stb_image's implementation stands in for SOIL in a test; it is not ours.
        grep -o '"file": "[^"]*"' "$build/compile_commands.json" | cut -d'"' -f4 | grep -v '/tests/stb_image\.cpp$' | sort -u |
            xargs -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet 2>/dev/null
    done
    exit
fi
find src tests tests_and_bench tools bench -name '*.cpp' -o -name '*.h' | sort |
    xargs clang-format --dry-run --Werror
