#!/usr/bin/env bash
# The host's tools for building and running aarch64 code: the cross compiler,
# mmdebstrap, and qemu user emulation registered with binfmt_misc (so that an
# arm64 program, the Python in the root filesystem and its child processes
# included, runs like a native one). Installs what is missing with apt-get.
set -euo pipefail

need=()
command -v aarch64-linux-gnu-g++ >/dev/null || need+=(g++-aarch64-linux-gnu)
command -v mmdebstrap >/dev/null || need+=(mmdebstrap)
command -v qemu-aarch64-static >/dev/null || need+=(qemu-user-static binfmt-support)
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null
fi

binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
if [ ! -e "$binfmt/qemu-aarch64" ]; then
    update-binfmts --enable qemu-aarch64 >/dev/null
fi
