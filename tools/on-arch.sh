#!/usr/bin/env bash
# Runs the tests on Debian's arm64 or armhf port, under a real kernel of
# that architecture: the decoder's seccomp filter is the kernel's to
# enforce, and user-mode emulation refuses seccomp to the programs it runs.
#
# A root of that architecture is made with debootstrap from the mirror this
# machine's apt uses, finished and given what building and testing need
# under user-mode emulation (qemu-user-static), with Debian's own kernel.
# Each run builds a fresh clone of the commit checked out here in a copy of
# that root, still under user-mode emulation, then boots the kernel on it in
# full-system emulation (qemu-system, machine "virt"), where the tests run.
#
# The root is kept for 7 days under $CUBEVIEW_ARCH_ROOTS (default
# /var/cache/cubeview/arch), with every package downloaded for it; each run
# works in a copy, removed when the run ends, however it ends. Mounts are
# made in mount namespaces of the run's own. Where this machine runs no
# program of that architecture yet, a binfmt_misc handler named
# cubeview-qemu-ARCH is registered for each step that runs one, and removed
# when the step ends. One run at a time on the machine. The whole check
# stops itself after $CUBEVIEW_ARCH_BOUND minutes (default 60). Needs root.
# Usage: tools/on-arch.sh arm64|armhf
set -euo pipefail
{ # read whole before it runs: the file may change while it does
repo=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
. "$repo/tools/deps.sh"
SCRIPT=on-arch.sh
. "$repo/tools/runs.sh"

arch=${1:-}
case "$arch" in
arm64)
    qemu_arch=aarch64 kernel=linux-image-arm64
    vm=(qemu-system-aarch64 -M virt -cpu cortex-a72 -m 4096)
    ;;
armhf)
    qemu_arch=arm kernel=linux-image-armmp-lpae
    vm=(qemu-system-arm -M virt -cpu cortex-a15 -m 3072)
    ;;
*)
    echo "usage: $0 arm64|armhf" >&2
    exit 2
    ;;
esac
if [ "$(id -u)" -ne 0 ]; then
    echo "on-arch.sh needs root, to make a root file system and mount in it; nothing was done" >&2
    exit 1
fi
install_missing debootstrap qemu-user-static qemu-system-arm e2fsprogs git || exit 1
bound=${CUBEVIEW_ARCH_BOUND:-60}
exec 8>&2 # what a step says to the user, whatever its output goes to

# This machine's own release and the main archive apt has it from.
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
case "$release" in
bookworm | trixie) ;;
*) release=trixie ;;
esac
mirror=$(archive_for "$release")

cache=${CUBEVIEW_ARCH_ROOTS:-/var/cache/cubeview/arch}/$release-$arch
base=$cache/base
mkdir -p "$cache/debootstrap-debs" "$cache/apt-debs/partial"
# One run at a time on this machine, whatever the architecture: two at once
# share binfmt_misc, and one run's handler was seen to vanish while the
# other's steps came and went.
lock=/run/lock/cubeview-on-arch
[ -d /run/lock ] || lock=${cache%/*}/lock
exec 9>"$lock"
flock 9

# What the root gets besides its base system: what building the viewer and
# its tests needs, but for clang-format and clang-tidy (pmccabe is small),
# and a kernel, strace and what the virtual machine's start needs.
packages=("${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "$kernel" strace procps)
for checker in clang-format clang-tidy; do
    packages=("${packages[@]/$checker/}")
done
wanted="$release $mirror ${packages[*]}"

handler=/proc/sys/fs/binfmt_misc/cubeview-qemu-$qemu_arch
watchdog=
begin_run "$cache"
before_finish() {
    [ -z "$watchdog" ] || kill "$watchdog" 2>/dev/null || true
    # Left only where binfmt_misc is mounted here and a step was killed.
    if [ -e "$handler" ]; then
        echo -1 >"$handler" && echo "on-arch.sh: removed the binfmt_misc handler ${handler##*/}"
    fi
}
(
    exec 9>&-
    sleep $((bound * 60)) &
    trap 'kill $!; exit' TERM
    wait $!
    echo "on-arch.sh: stopped after $bound minutes" >&2
    kill -TERM $$
) &
watchdog=$!

# Runs $1 in the root $2 as root on a fresh machine, with apt's downloads
# kept unless $3 is empty, in a namespace of its own for mounts and
# processes: when its first process ends, everything in it is killed and
# every mount in it goes. Programs of that architecture must run there:
# where they do not, they run for the step through a binfmt_misc handler of
# our own, made from the emulator package's and holding on to the emulator
# (the F flag); it is removed when the step ends, and goes with the
# namespace's own binfmt_misc mount where this machine has none.
in_root() {
    setpriv --pdeathsig KILL unshare --mount --propagation private --pid --fork --kill-child bash -euo pipefail -c '
        root=$1 cache=$2 handler=$4 arch=$5 archives=$6
        if ! chroot "$root" /bin/true 2>/dev/null; then
            [ -e /proc/sys/fs/binfmt_misc/register ] ||
                mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
            sed -n "s/^:qemu-$arch:/:${handler##*/}:/p" "/usr/lib/binfmt.d/qemu-$arch.conf" \
                >/proc/sys/fs/binfmt_misc/register
            trap "[ ! -e $handler ] || echo -1 >$handler" EXIT
            echo "on-arch.sh: registered the binfmt_misc handler ${handler##*/} for $(sed -n "s/^interpreter //p" \
                "$handler"), until this step ends" >&8
        fi
        mount -t proc proc "$root/proc"
        mount --rbind /sys "$root/sys"
        mount --rbind /dev "$root/dev"
        [ -z "$archives" ] || mount --bind "$cache/apt-debs" "$root/var/cache/apt/archives"
        chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            HOME=/root LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive bash -euo pipefail -c "$3"
    ' in-root "$2" "$cache" "$1" "$handler" "$qemu_arch" "${3-archives}" &
    runner=$!
    wait "$runner"
    runner=
}

# The root, made anew when it is missing, unfinished, from another mirror,
# for other packages or a week old.
if ! base_is_current "$base" "$wanted"; then
    echo "on-arch.sh: making a $release $arch root from $mirror"
    rm -rf --one-file-system "$base" "$base.new"
    debootstrap --foreign --arch="$arch" --variant=minbase --cache-dir="$cache/debootstrap-debs" \
        "$release" "$base.new" "$mirror" >"$cache/debootstrap.log" 2>&1 || {
        tail -n 20 "$cache/debootstrap.log" >&2
        exit 1
    }
    in_root '/debootstrap/debootstrap --second-stage' "$base.new" '' >>"$cache/debootstrap.log" 2>&1 || {
        tail -n 20 "$cache/debootstrap.log" >&2
        exit 1
    }
    # The kernel starts on a virtio disk of ext4 and nothing else: its
    # initramfs needs only their modules, and is made in seconds.
    mkdir -p "$base.new/etc/initramfs-tools/conf.d" "$base.new/usr/share/initramfs-tools/modules.d"
    echo MODULES=list >"$base.new/etc/initramfs-tools/conf.d/cubeview"
    printf '%s\n' virtio_mmio virtio_pci virtio_blk crc32c_generic ext4 \
        >"$base.new/usr/share/initramfs-tools/modules.d/cubeview"
    in_root "apt-get update -qq && apt-get install -y -qq --no-install-recommends ${packages[*]} >/dev/null" \
        "$base.new"
    echo "$wanted" >"$base.new/.cubeview-base"
    mv "$base.new" "$base"
fi

root=$run/root
cp -a --reflink=auto "$base" "$root"
clone_commit "$repo" "$root/root/cubeview" "$release $arch"
start=$SECONDS
in_root 'cd /root/cubeview && cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCUBEVIEW_TESTS=ON -DCUBEVIEW_WERROR=ON >/dev/null && cmake --build build -j"$(nproc)" >/dev/null' "$root"
echo "on-arch.sh: built in $((SECONDS - start)) s, under user-mode emulation"

# The tests, in the virtual machine: its first process mounts what they
# need, runs them under a private Xvfb, and where they pass traces the
# decoders of the loader's comparison with SOIL in process and of the
# decoder's own test of every format, lists the system calls they made
# under their filter, says how it all ended and powers the machine off.
cat >"$root/sbin/cubeview-vm" <<'VM'
#!/bin/bash
mountpoint -q /proc || mount -t proc proc /proc # the initramfs has moved them here
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
modprobe fuse # for the test of stalled storage
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb
export CUBEVIEW_SLOWDOWN=$(sed -n 's/.*cubeview.slowdown=\([0-9]*\).*/\1/p' /proc/cmdline)
echo "cubeview-vm: $(uname -srm), $(nproc) processors"
cd /root/cubeview
status=0
bash -c '
    . tools/private_xvfb.sh && start_private_xvfb && cd build
    ctest --output-on-failure --timeout $((300 * CUBEVIEW_SLOWDOWN)) -j2
' || status=$?
echo "cubeview-vm: tests ended with $status"
# Where they passed, the decoders of two of them again under strace, for
# the calls each made once its filter was in force. The tracer slows every
# call: a test that fails under it is named, with its failures, and does
# not fail the check; a decoder killed by its filter does.
if [ "$status" -eq 0 ]; then
    mkdir /tmp/trace
    for traced in "loader face_loader_test FaceLoader.ShowsWhat*" \
        "decoder decoder_program_test DecoderProgram.EveryFormat*"; do
        set -f -- $traced
        set +f
        bash -c '. tools/private_xvfb.sh && start_private_xvfb && cd build/tests &&
            strace -ff -qq -o /tmp/trace/$1 ./$2 --gtest_filter="$3"' traced "$@" >/tmp/trace/$1.log 2>&1 || {
            echo "cubeview-vm: $3 failed under strace:"
            grep -E -A6 'Failure$' /tmp/trace/$1.log | head -n 40
        }
        decoders=0
        for trace in /tmp/trace/$1.[0-9]*; do
            grep -q '^seccomp(SECCOMP_SET_MODE_FILTER.* = 0$' "$trace" || continue
            decoders=$((decoders + 1))
            sed '1,/^seccomp(SECCOMP_SET_MODE_FILTER.* = 0$/d' "$trace" | sed -n 's/^\([a-z0-9_]*\)(.*/\1/p' >>/tmp/trace/$1.calls
            if grep -q 'killed by SIGSYS' "$trace"; then
                echo "cubeview-vm: a decoder was killed by its filter at $(grep -E '^[a-z0-9_]+\(' "$trace" | tail -n 1)"
                status=1
            fi
        done
        echo "cubeview-vm: the $1 test's $decoders decoders called under their filter:" \
            $(sort /tmp/trace/$1.calls 2>/dev/null | uniq -c | awk '{ printf "%s (%s) ", $2, $1 }')
    done
fi
echo "cubeview-vm: the check ended with $status"
sync
echo o >/proc/sysrq-trigger
sleep 600
VM
chmod +x "$root/sbin/cubeview-vm"
image=$run/root.ext4
start=$SECONDS
boot=$(ls "$root"/boot/vmlinuz-* | sort -V | tail -n 1)
cp "$boot" "$run/vmlinuz"
cp "$root/boot/initrd.img-${boot##*/vmlinuz-}" "$run/initrd.img"
mke2fs -q -t ext4 -L cubeview -d "$root" "$image" "$(($(du -sm "$root" | cut -f1) + 2048))M"
rm -rf --one-file-system "$root"
echo "on-arch.sh: disk image made in $((SECONDS - start)) s; starting the virtual machine"

# Two processors, emulated in a thread each; the machine dies with this
# script, however it ends. The tests' bounds on a hang, and the decoders'
# processor limits in them, are 10 times as long.
start=$SECONDS
setpriv --pdeathsig KILL "${vm[@]}" -smp 2 -accel tcg,thread=multi -nodefaults -display none -monitor none \
    -serial stdio -no-reboot -kernel "$run/vmlinuz" -initrd "$run/initrd.img" \
    -append "root=/dev/vda rw console=ttyAMA0 quiet loglevel=3 panic=-1 init=/sbin/cubeview-vm cubeview.slowdown=10" \
    -drive "file=$image,format=raw,if=virtio" </dev/null > >(tee "$run/console.log") &
runner=$!
wait "$runner"
runner=
echo "on-arch.sh: the virtual machine ran for $((SECONDS - start)) s"
grep -q '^cubeview-vm: the check ended with 0' "$run/console.log"
exit
}
