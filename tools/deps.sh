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
TEST_PACKAGES=(libgtest-dev libx11-dev libxtst-dev zlib1g-dev libjpeg-dev xvfb clang libclang-rt-dev
               clang-format clang-tidy)
