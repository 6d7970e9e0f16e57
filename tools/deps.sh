# Sourced by run.sh, test.sh and the other scripts: installs the Debian
# packages given as arguments that are not installed yet.
install_missing() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

# What building the viewer needs.
BUILD_PACKAGES=(g++ make cmake pkgconf freeglut3-dev libglu1-mesa-dev libgl1-mesa-dev libsoil-dev libseccomp-dev)
