#!/usr/bin/env bash
# Checks every C++ source against .clang-format, that no function in src/
# is above McCabe complexity 12, and that no two modules of the loader
# depend on each other. With --tidy BUILD_DIR..., runs clang-tidy's checks
# from .clang-tidy instead, over the sources compiled in each BUILD_DIR
# (configured with CMAKE_EXPORT_COMPILE_COMMANDS). Prints what it finds and
# fails if it finds anything.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

if [ "${1:-}" = --tidy ]; then
    shift
    # A .clang-tidy that this clang-tidy cannot read leaves it on its own
    # defaults, finding nothing: that fails here.
    checks=$(clang-tidy --list-checks src/view.cpp 2>&1 || true)
    # Here-strings, not pipes: grep -q stops reading at its first match, and
    # under pipefail the writer's SIGPIPE would fail the test at random.
    if grep -q 'Error parsing' <<<"$checks" || ! grep -q 'bugprone-branch-clone' <<<"$checks"; then
        echo "$checks" >&2
        echo "clang-tidy did not take its checks from .clang-tidy" >&2
        exit 1
    fi
    for build in "$@"; do
        # One entry for each source file, the first, for clang-tidy reads a
        # file once for every entry (a file built into several targets has
        # several). stb_image's implementation stands in for SOIL in a test:
        # it is not ours.
        mkdir -p "$build/tidy"
        awk '/^\[/ || /^\]/ { next }
             /^\{/ { entry = ""; file = "" }
             /"file":/ { file = $0 }
             /^\}/ { if (!(file in seen) && file !~ /\/tests\/stb_image\.cpp"/) { seen[file] = 1; kept[++n] = entry "}" }; next }
             { entry = entry $0 "\n" }
             END { print "["; for (i = 1; i <= n; ++i) print kept[i] (i < n ? "," : ""); print "]" }' \
            "$build/compile_commands.json" >"$build/tidy/compile_commands.json"
        grep -o '"file": "[^"]*"' "$build/tidy/compile_commands.json" | cut -d'"' -f4 |
            xargs -P "$(nproc)" -n 1 clang-tidy -p "$build/tidy" --quiet 2>/dev/null
    done
    exit
fi
# Every C++ file in the tree, whatever folder it is in, but the builds'.
find . \( -path ./.git -o -path './build*' \) -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sort |
    xargs clang-format --dry-run --Werror
# No function in src/ above McCabe complexity 12.
complex=$(find src -name '*.cpp' -print0 | xargs -0 pmccabe | awk -F'\t' '$1 > 12 { print "  " $1 "  " $6 }')
if [ -n "$complex" ]; then
    echo "Functions above McCabe complexity 12 (pmccabe); split them by step:" >&2
    echo "$complex" >&2
    exit 1
fi
# No two modules of the loader (a file name without its extension) include
# each other's headers, directly or through others: tsort finds the loop.
for file in $(find src/loader -name '*.cpp' -o -name '*.h'); do
    module=${file##*/}
    sed -n 's|^#include "loader/\(.*\)\.h"|\1|p' "$file" | while read -r included; do
        [ "${included##*/}" = "${module%.*}" ] || echo "${module%.*} ${included##*/}"
    done
done | tsort >/dev/null || {
    echo "Modules of the loader that depend on each other, through the headers above" >&2
    exit 1
}
