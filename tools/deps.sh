# Sourced by run.sh, test.sh and the other scripts: installs the Debian
# packages given as arguments that are not installed yet, as root or through
# sudo. Without either it names them, and the command that installs them.
install_missing() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "These Debian packages are missing: ${missing[*]}" >&2
            echo "Install them as root, then run this again:" >&2
            echo "    apt-get update && apt-get install -y ${missing[*]}" >&2
            exit 1
        fi
        sudo=(sudo)
    fi
    echo "Installing ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

# What building the viewer needs.
BUILD_PACKAGES=(g++ make cmake pkgconf freeglut3-dev libglu1-mesa-dev libgl1-mesa-dev libsoil-dev libseccomp-dev)
# What building and running the tests and the benchmark needs besides.
TEST_PACKAGES=(libgtest-dev libx11-dev libxtst-dev zlib1g-dev libjpeg-dev xvfb clang-format clang-tidy libstb-dev)

# On x86-64, what building the decoding child's tests as a 32-bit program
# needs too. That takes i386 as a second architecture for dpkg, a lasting
# change to the machine's package set-up, which is said when it is made.
install_i386_test_packages() {
    if [ "$(dpkg --print-architecture)" != amd64 ]; then
        echo "Not an x86-64 machine: the 32-bit sandbox tests will be skipped." >&2
        return 0
    fi
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "Adding i386 as a second architecture (dpkg --add-architecture i386), for the 32-bit sandbox tests;"
        echo "this stays on the machine: undo it with dpkg --remove-architecture i386 once no i386 package is left."
        local sudo=()
        if [ "$(id -u)" -ne 0 ]; then
            if ! command -v sudo >/dev/null; then
                echo "Skipping the 32-bit sandbox tests: that needs root, or sudo." >&2
                return 0
            fi
            sudo=(sudo)
        fi
        "${sudo[@]}" dpkg --add-architecture i386
        "${sudo[@]}" apt-get update -qq
    fi
    install_missing g++-multilib libseccomp-dev:i386 libgtest-dev:i386
}
