#!/usr/bin/env bash
# Runs a command inside the arm64 root filesystem under qemu user emulation
# (binfmt_misc runs its programs, child processes included), from the current
# folder, which is mounted at the same path inside (with the git folder of a
# worktree). The mounts live in a private mount namespace and vanish with it.
# VIS_EMULATED tells the tests that this CPU is emulated, so those that measure
# its wall-clock speed skip.
#
# usage: scripts/aarch64-run.sh ROOTFS COMMAND [ARGS...]
set -euo pipefail
if [ -z "${VIS_MOUNT_NAMESPACE:-}" ]; then
    VIS_MOUNT_NAMESPACE=1 exec unshare --mount --propagation private --fork "$0" "$@"
fi
root=$1
shift
here=$PWD

bind() {   # a host folder at the same path inside
    mkdir -p "$root$1"
    mount --bind "$1" "$root$1"
}

mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -t tmpfs tmpfs "$root/tmp"
bind "$here"
common=$(git rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
case "$common" in
    "" | "$here"/*) ;;
    *) bind "$common" ;;
esac

exec chroot "$root" /usr/bin/env -i PATH=/opt/venv/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    QT_QPA_PLATFORM=offscreen VIS_EMULATED=qemu-aarch64 ${VIS_GENERIC_KERNELS:+VIS_GENERIC_KERNELS=$VIS_GENERIC_KERNELS} \
    /bin/sh -c 'cd "$0" && exec "$@"' "$here" "$@"
