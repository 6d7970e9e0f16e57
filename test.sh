#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds everything with
# warnings as errors (and the in-process variant), runs clang-tidy and the
# whole test suite of both under a private Xvfb. Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"
. tools/deps.sh
. tools/private_xvfb.sh

install_missing "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" || exit 1

# The decoder's tests as a 32-bit program, on x86-64: where the
# machine has what they need, or where CUBEVIEW_I386_TESTS=1 asks for it to
# be installed. That adds i386 as a dpkg architecture, undone if the packages
# cannot be installed.
i386_tests=OFF
if [ "$(dpkg --print-architecture)" = amd64 ]; then
    if [ -z "$(missing_packages "${I386_TEST_PACKAGES[@]}")" ]; then
        i386_tests=ON
    elif [ "${CUBEVIEW_I386_TESTS:-}" = 1 ]; then
        added=
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            echo "Adding i386 as a dpkg architecture, for the 32-bit sandbox tests"
            as_root dpkg --add-architecture i386 && added=1
        fi
        if install_missing "${I386_TEST_PACKAGES[@]}"; then
            i386_tests=ON
        else
            echo "Skipping the 32-bit sandbox tests: what they need could not be installed" >&2
            if [ -n "$added" ]; then
                as_root dpkg --remove-architecture i386 && as_root apt-get update -qq
            fi
        fi
    else
        echo "Skipping the 32-bit sandbox tests: CUBEVIEW_I386_TESTS=1 ./test.sh installs what they need" \
            "(i386 as a dpkg architecture, ${I386_TEST_PACKAGES[*]}) and runs them"
    fi
fi

tools/check_style.sh

# Optimised as the viewer always is, but without debug information, which
# would take a third of the time the builds take.
optimised=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG")
cmake -S . -B build-test "${optimised[@]}" -DCUBEVIEW_TESTS=ON -DCUBEVIEW_WERROR=ON -DCUBEVIEW_I386_TESTS=$i386_tests \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
# clang-tidy needs only the compile database: it runs from here on, beside
# the builds and the tests, in a session of its own and at a lower priority,
# that of its session's scheduling group too where the kernel groups them.
setsid bash -c 'echo 10 >/proc/self/autogroup 2>/dev/null; exec nice -n 10 tools/check_style.sh --tidy build-test' \
    >build-test/tidy.log 2>&1 &
tidy=$!
stop_tidy() { kill -TERM -- -"$tidy" 2>/dev/null || true; }
trap stop_tidy EXIT
cmake --build build-test -j"$(nproc)"
# The viewer as other hosts build it, loading in-process, with the tests that apply to it.
cmake -S . -B build-test-inprocess "${optimised[@]}" -DCUBEVIEW_INPROCESS_LOADER=ON -DCUBEVIEW_TESTS=ON -DCUBEVIEW_WERROR=ON \
    >/dev/null
cmake --build build-test-inprocess -j"$(nproc)"

start_private_xvfb
trap 'stop_tidy; stop_private_xvfb' EXIT

# The tests of each build in turn, in a session of their own, so that a
# signal to this script stops every test they started, not only Xvfb. Most
# of them wait (for a window, a frame, a decoder), so more run than there are
# processors. A test that hangs fails after 5 minutes, by name; the longest
# takes about 10 s here.
setsid bash -c 'cd build-test && ctest --output-on-failure --timeout 300 -j4 "$@" && cd ../build-test-inprocess &&
    ctest --output-on-failure --timeout 300 -j2 "$@"' ctest "$@" &
tests=$!
trap 'kill -TERM -- -"$tests" 2>/dev/null; wait "$tests"; exit 143' TERM
trap 'kill -TERM -- -"$tests" 2>/dev/null; wait "$tests"; exit 129' HUP
trap 'kill -TERM -- -"$tests" 2>/dev/null; wait "$tests"; exit 130' INT
wait "$tests"
if ! wait "$tidy"; then
    cat build-test/tidy.log
    echo "clang-tidy: the findings above fail the run" >&2
    exit 1
fi
