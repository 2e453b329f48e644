#!/usr/bin/env bash
# Runs the extraction tests on a volume that folds letter case, as a USB
# stick's exFAT does: an exFAT image attached to a loop device and mounted
# through FUSE (mount.exfat-fuse wants a block device). The volume is always
# unmounted and detached again. Where none can be mounted (not root, no
# /dev/fuse, no loop device) the stage says why and is skipped; failing
# tests fail it.
#
#   scripts/test-exfat.sh [BUILD_DIR]     (default build/ci, already built)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
build=${1:-build/ci}

skip() {
    echo "exFAT stage skipped: $*"
    exit 0
}
[ "$(id -u)" -eq 0 ] || skip "not running as root (losetup and mount need root)"
[ -e /dev/fuse ] || skip "no /dev/fuse on this machine"
ensure_packages exfatprogs exfat-fuse || skip "exfatprogs and exfat-fuse cannot be installed"

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-exfat.XXXXXX")
loop=""
cleanup() {
    if mountpoint -q "$work/volume"; then
        umount "$work/volume" || umount -l "$work/volume" || true
    fi
    if [ -n "$loop" ]; then
        # The FUSE daemon lets go of the device a moment after the unmount.
        for _ in 1 2 3 4 5; do
            losetup -d "$loop" 2>/dev/null && break
            sleep 1
        done
    fi
    rm -rf "$work"
}
trap cleanup EXIT

truncate -s 64M "$work/exfat.img"
mkfs.exfat "$work/exfat.img" >/dev/null
loop=$(losetup -f --show "$work/exfat.img") || skip "no loop device could be attached"
mkdir "$work/volume"
mount.exfat-fuse "$loop" "$work/volume" >/dev/null 2>&1 ||
    skip "mount.exfat-fuse could not mount $loop"

KESTRUNE_CASE_FOLDING_DIR="$work/volume" "$build/tests/kestrune_tests" \
    --gtest_filter='Extract.NoEntryLostWhereLetterCaseFolds:Extract.TreeWhereLetterCaseFolds:UnityExport.NoObjectLostWhereLetterCaseFolds' --gtest_brief=1
