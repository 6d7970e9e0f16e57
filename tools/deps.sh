# Sourced by run.sh, test.sh and the other scripts: the Debian packages each
# needs, and install_missing, which installs those not installed yet, as root
# or through sudo, but only where installing them removes nothing.

# The packages given that are not installed, one a line.
missing_packages() {
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || echo "$pkg"
    done
}

# Runs a command as root: directly, or through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "This needs root, or sudo: $*" >&2
        return 1
    fi
}

# install_missing PACKAGE...: installs the packages given that are missing.
# Installing them must remove no package: apt is asked first what it would
# do, and if it would remove anything, or cannot install them at all,
# nothing of the set is installed. Returns 1 then, after naming the packages
# and what stands in the way; so also without root and without sudo.
install_missing() {
    local missing
    mapfile -t missing < <(missing_packages "$@")
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ] && ! command -v sudo >/dev/null; then
        echo "These Debian packages are missing: ${missing[*]}" >&2
        echo "Install them as root, then run this again:" >&2
        echo "    apt-get update && apt-get install -y ${missing[*]}" >&2
        return 1
    fi
    as_root apt-get update -qq
    local plan removed
    if ! plan=$(LC_ALL=C apt-get -s install -y "${missing[@]}" 2>&1); then
        echo "apt cannot install ${missing[*]}:" >&2
        echo "$plan" | grep -E '^ |^E:' >&2
        return 1
    fi
    removed=$(echo "$plan" | awk '$1 == "Remv" { print $2 }' | xargs)
    if [ -n "$removed" ]; then
        echo "Nothing was installed: installing ${missing[*]} would remove $removed (they conflict)." >&2
        echo "Keep $removed and go without, or remove it yourself and run this again." >&2
        return 1
    fi
    echo "Installing ${missing[*]}"
    # --no-remove: should the plan change in between, apt stops rather than remove.
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-remove "${missing[@]}" >/dev/null
}

# What building the viewer needs.
BUILD_PACKAGES=(g++ make cmake pkgconf libglut-dev libglu1-mesa-dev libgl-dev libsoil-dev libseccomp-dev)
# What building and running the tests and the benchmark needs besides.
TEST_PACKAGES=(libgtest-dev libx11-dev libxtst-dev zlib1g-dev libjpeg62-turbo-dev xvfb clang-format clang-tidy
    libstb-dev pmccabe)
# What the 32-bit build of the decoder's tests needs on x86-64, with
# i386 as a second dpkg architecture. g++-multilib conflicts with Debian's
# cross compilers, so these are installed only when asked for.
I386_TEST_PACKAGES=(g++-multilib libseccomp-dev:i386 libgtest-dev:i386)
