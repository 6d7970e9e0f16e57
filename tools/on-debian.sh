#!/usr/bin/env bash
# Tries this repository as a new user would on a fresh Debian RELEASE
# (bookworm or trixie, or 12 or 13): in a minimal chroot made with
# debootstrap from the mirror this machine's apt uses, a fresh clone of the
# commit checked out here runs ./test.sh, then ./run.sh under Xvfb until it
# shows the textured cube. A cross compiler is installed before, as a user
# may have one: ./test.sh must leave it, and dpkg's architectures, as they
# were. The host's own packages are never touched.
#
# The base system is kept for 7 days under $CUBEVIEW_CHROOTS (default
# /var/cache/cubeview/chroots), with every package downloaded for it; each
# run works in a copy of it, removed when the run ends, however it ends. All
# mounts are made in a mount namespace of the run's own, so none outlives it.
# Needs root. Usage: tools/on-debian.sh RELEASE
set -euo pipefail
repo=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)

case "${1:-}" in
12 | bookworm) release=bookworm ;;
13 | trixie) release=trixie ;;
*)
    echo "usage: $0 bookworm|trixie (or 12|13)" >&2
    exit 2
    ;;
esac
if [ "$(id -u)" -ne 0 ]; then
    echo "on-debian.sh needs root, to make a chroot and mount in it; nothing was done" >&2
    exit 1
fi
for tool in debootstrap git unshare; do
    if ! command -v "$tool" >/dev/null; then
        echo "on-debian.sh needs $tool (Debian package: ${tool/unshare/util-linux}); nothing was done" >&2
        exit 1
    fi
done

SCRIPT=on-debian.sh
. "$repo/tools/runs.sh"
# The main archive of this machine's own release, as apt has it.
mirror=$(archive_for "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")")

cache=${CUBEVIEW_CHROOTS:-/var/cache/cubeview/chroots}/$release
base=$cache/base
mkdir -p "$cache/debootstrap-debs" "$cache/apt-debs/partial" "$cache/apt-lists/partial"
exec 9>"$cache/lock"
flock 9 # one run at a time for each release

# The base system, made anew when it is missing, unfinished, from another
# mirror or a week old; the packages it was made from are kept.
if ! base_is_current "$base" "$release $mirror"; then
    echo "on-debian.sh: making a $release base system from $mirror"
    rm -rf --one-file-system "$base" "$base.new"
    debootstrap --variant=minbase --cache-dir="$cache/debootstrap-debs" "$release" "$base.new" "$mirror" \
        >"$cache/debootstrap.log" 2>&1 || {
        tail -n 20 "$cache/debootstrap.log" >&2
        exit 1
    }
    echo "$release $mirror" >"$base.new/.cubeview-base"
    mv "$base.new" "$base"
fi

begin_run "$cache"
before_finish() {
    cp "$run/root/root/run.png" "$cache/run.png" 2>/dev/null || true # what ./run.sh showed
}
cp -a --reflink=auto "$base" "$run/root"
clone_commit "$repo" "$run/root/root/cubeview" "$release ($mirror)"

# What runs inside, as root on a fresh machine.
cross=
[ "$(dpkg --print-architecture)" = amd64 ] && cross=gcc-aarch64-linux-gnu
inside=$(
    cat <<'INSIDE'
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
if [ -n "$CROSS" ]; then
    apt-get install -y -qq "$CROSS" >/dev/null
fi
architectures=$(dpkg --print-foreign-architectures)
cd /root/cubeview
./test.sh
if [ -n "$CROSS" ] && ! dpkg-query -W -f='${Status}' "$CROSS" | grep -q 'ok installed'; then
    echo "on-debian.sh: ./test.sh removed $CROSS" >&2
    exit 1
fi
if [ "$(dpkg --print-foreign-architectures)" != "$architectures" ]; then
    echo "on-debian.sh: ./test.sh changed dpkg's architectures" >&2
    exit 1
fi

# ./run.sh on a virtual screen, until its window shows most of the colour
# that the back face's picture, Data/cube6.bmp, has most of. Black, the
# background, does not count.
apt-get install -y -qq xvfb xdotool x11-apps netpbm >/dev/null
cat >/usr/local/bin/colour <<'COLOUR'
#!/bin/sh
ppmhist -noheader | awk '$1 + $2 + $3 > 0 { print $1, $2, $3; exit }'
COLOUR
chmod +x /usr/local/bin/colour
export face=$(bmptopnm Data/cube6.bmp 2>/dev/null | colour)
shown=0
xvfb-run -a -s '-screen 0 1280x1024x24' bash -euo pipefail -c '
    ./run.sh &
    viewer=$!
    trap "kill $viewer 2>/dev/null || true" EXIT
    # Building comes first: up to 10 minutes for the window, then 1 minute
    # for the picture, while the viewer lives.
    for _ in $(seq 6000); do
        window=$(xdotool search --name "^color$" 2>/dev/null | head -n 1) || true
        [ -n "$window" ] && break
        kill -0 $viewer 2>/dev/null || { echo "on-debian.sh: ./run.sh ended before its window showed" >&2; exit 1; }
        sleep 0.1
    done
    for _ in $(seq 600); do
        xwd -silent -id "$window" | xwdtopnm 2>/dev/null >/tmp/run.ppm || true
        [ "$(colour </tmp/run.ppm)" = "$face" ] && exit 0
        sleep 0.1
    done
    echo "on-debian.sh: ./run.sh showed no textured cube: most of its window is $(colour </tmp/run.ppm), not $face" >&2
    exit 1
' || shown=$?
pnmtopng </tmp/run.ppm >/root/run.png 2>/dev/null || true
[ "$shown" -eq 0 ] && echo "on-debian.sh: ./run.sh showed the textured cube"
exit "$shown"
INSIDE
)

# A namespace of its own for mounts and processes: when its first process
# ends, everything in it is killed and every mount in it goes.
CI=${CI:-} CROSS=$cross unshare --mount --propagation private --pid --kill-child bash -euo pipefail -c '
    root=$1 cache=$2
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount --bind "$cache/apt-debs" "$root/var/cache/apt/archives"
    mount --bind "$cache/apt-lists" "$root/var/lib/apt/lists"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 TERM=dumb CI="$CI" CROSS="$CROSS" bash -c "$3"
' on-debian "$run/root" "$cache" "$inside" &
runner=$!
wait "$runner"
