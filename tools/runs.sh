# Sourced by tools/on-debian.sh and tools/on-arch.sh, which check this
# repository in a root of their own, kept under a cache: what they share.
# SCRIPT names the script in what they say.

# The main archive this machine's apt has the suite $1 from, or Debian's.
archive_for() {
    local site
    site=$(apt-get indextargets --format '$(SITE) $(RELEASE)' 'Identifier: Packages' 2>/dev/null |
        awk -v suite="$1" '$2 == suite { print $1; exit }')
    echo "${site:-http://deb.debian.org/debian}"
}

# Whether the root $1 was finished for what $2 says (its stamp), within the
# last 7 days.
base_is_current() {
    [ "$(cat "$1/.cubeview-base" 2>/dev/null)" = "$2" ] && [ -z "$(find "$1/.cubeview-base" -mtime +6 2>/dev/null)" ]
}

# Makes $run, a folder of this run's own in $1, removed when the script
# ends, however it ends: after `before_finish`, where the script has one,
# and after `runner` (the process the script waits for, which takes what it
# started in its namespace with it) is killed; unless a mount is left there.
begin_run() {
    run=$(mktemp -d "$1/run.XXXXXX")
    runner=
    trap finish_run EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
}

finish_run() {
    local status=$?
    trap - EXIT INT TERM HUP
    if declare -F before_finish >/dev/null; then
        before_finish
    fi
    if [ -n "$runner" ]; then
        kill -KILL "$runner" 2>/dev/null || true
        wait "$runner" 2>/dev/null || true
    fi
    if grep -q " $run/" /proc/self/mountinfo; then
        echo "$SCRIPT: mounts left under $run; it is not removed" >&2
    else
        rm -rf --one-file-system "$run"
    fi
    exit "$status"
}

# A fresh clone of the commit checked out in the repository $1, at $2, on
# what $3 says.
clone_commit() {
    git -C "$1" rev-parse HEAD >/dev/null
    git -c safe.directory="$1" clone -q "$1" "$2"
    echo "$SCRIPT: commit $(git -C "$2" rev-parse --short HEAD) on $3"
}
