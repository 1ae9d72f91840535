#!/usr/bin/env bash
# CPython releases newer than the build host's own (3.14, 3.15 and the 3.14
# debug build), from Debian's development distribution, in a directory tree
# of their own that commands run in with chroot.
#
#   scripts/newer_cpython.sh setup ROOT        build the tree once (2 to 5 minutes,
#                                              about 1.2 GB); a second setup of a
#                                              finished tree does nothing
#   scripts/newer_cpython.sh run ROOT CMD...   run CMD in the tree, as root, with the
#                                              current directory mounted at /src and
#                                              the working directory set there; one
#                                              argument is a shell command line,
#                                              several are one command and its
#                                              arguments
#
# Inside: python3.14, python3.14d (debug build: reference counts, asserts),
# python3.15, each with its -dev headers and venv; g++, cmake, ninja, git.
# pip inside reaches the same package index as the host: the host's CA bundle
# is copied in. Mounts live in a private mount namespace and end with CMD.
# Needs root (chroot, mount) and Debian's debootstrap (installed with apt-get
# when missing).
#
# The tree is marked finished only after debootstrap succeeded, and the mark
# names the package list: a tree left half-built by an interrupted setup, or
# built for another list, is built again from scratch. So is a tree older
# than a week, so that sid's updates of these CPythons arrive.
#
# Environment:
#   NEWER_CPYTHON_MIRROR    Debian mirror (default http://deb.debian.org/debian)
#   NEWER_CPYTHON_MAX_AGE   days a finished tree is kept before setup builds it
#                           anew (default 7)
set -euo pipefail

usage() { sed -n '2,15p' "$0" >&2; exit 2; }
[[ $# -ge 2 ]] || usage
verb=$1 root=$2
shift 2

suite=sid
mirror=${NEWER_CPYTHON_MIRROR:-http://deb.debian.org/debian}
packages=python3.14,python3.14-dev,python3.14-venv,python3.14-dbg,python3.15,python3.15-dev,python3.15-venv,g++,cmake,ninja-build,git,ca-certificates
stamp="$suite $packages"
mark=$root/.newer-cpython-ok

is_finished() { [[ -f $mark && $(<"$mark") == "$stamp" ]]; }

setup() {
    # Two setups of one tree at once would remove each other's work.
    mkdir -p "$(dirname "$root")"
    exec 9>"$root.lock"
    flock 9
    if is_finished && [[ -z $(find "$mark" -mtime +"${NEWER_CPYTHON_MAX_AGE:-7}") ]]; then
        echo "newer-cpython: $root is ready (built $(date -r "$mark" '+%F %H:%M'))"
        return 0
    fi
    if ! command -v debootstrap >/dev/null; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
    fi
    # A mount left behind by a killed run would make rm -rf descend into the host.
    # Not grep -q: findmnt, cut off by an early exit, would fail the pipeline.
    if findmnt -rn -o TARGET | grep "^$root/" >/dev/null; then
        echo "newer-cpython: something is still mounted under $root; not removing it" >&2
        exit 1
    fi
    rm -rf "$root"
    echo "newer-cpython: debootstrap $suite into $root (log: $root.log)"
    # In a mount namespace of its own, so that the /proc and /sys that
    # debootstrap mounts inside the tree go away with it, even when it is killed.
    if ! unshare --mount --propagation private \
        debootstrap --variant=minbase --include="$packages" "$suite" "$root" "$mirror" >"$root.log" 2>&1; then
        tail -n 20 "$root.log" >&2
        echo "newer-cpython: debootstrap failed (log: $root.log)" >&2
        exit 1
    fi
    rm -rf "$root"/var/cache/apt/archives/*.deb
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/host-ca.crt"
    mkdir -p "$root/src"
    echo "$stamp" >"$mark"
    echo "newer-cpython: $root is ready"
}

run() {
    if ! is_finished; then
        echo "newer-cpython: $root is not set up; run: $0 setup $root" >&2
        exit 1
    fi
    [[ $# -ge 1 ]] || usage
    local here cmd
    here=$(pwd)
    if [[ $# -eq 1 ]]; then cmd=$1; else cmd=$(printf '%q ' "$@"); fi
    # exec all the way down, so that a signal sent to this process (by
    # coreutils timeout, say) reaches the command itself.
    exec unshare --mount --propagation private bash -c '
        set -e
        root=$1 here=$2 cmd=$3
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mount --bind "$here" "$root/src"
        exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
            PATH=/usr/local/bin:/usr/bin:/bin CI="${CI:-}" \
            PIP_CERT=/etc/ssl/certs/host-ca.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
            /bin/bash -c "cd /src && $cmd"
    ' _ "$root" "$here" "$cmd"
}

case $verb in
    setup) setup ;;
    run) run "$@" ;;
    *) usage ;;
esac
