#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Removes what crashed device tests left in one scratch folder: loop devices
# whose backing file lies in it, fault daemon mounts under it, and its files.
# Devices and mounts anywhere else are never touched. Always exits 0.
#
#   cleanup_scratch.sh SCRATCH_DIR
set -u

if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "usage: cleanup_scratch.sh SCRATCH_DIR" >&2
    exit 0
fi
dir=$(realpath -m -- "$1")
case $dir in
/ | /dev | /dev/shm | /tmp | /run | /home | /root | /work | /usr | /var)
    echo "cleanup_scratch.sh: refusing to clean $dir" >&2
    exit 0
    ;;
esac

# "MINOR FSTYPE MOUNTPOINT" for each mount under the folder, from mountinfo
# (octal escapes undone), deepest last.
mounts_under() {
    local id parent numbers root point rest fstype
    while read -r id parent numbers root point rest; do
        point=$(printf '%b' "$point")
        fstype=${rest#* - }
        fstype=${fstype%% *}
        case $point in "$dir"/*) printf '%s %s %s\n' "${numbers#*:}" "$fstype" "$point" ;; esac
    done </proc/self/mountinfo
}

# 0. Find the loop devices over images (or daemon files) in the folder.
ours=
for backing_file in /sys/block/loop*/loop/backing_file; do
    [ -r "$backing_file" ] || continue
    backing=$(cat "$backing_file" 2>/dev/null) || continue
    case $backing in
    "$dir"/*)
        name=${backing_file#/sys/block/}
        name=${name%%/*}
        ours="$ours $name:$(cat "/sys/block/$name/diskseq" 2>/dev/null)"
        ;;
    esac
done

# 1. Abort fault daemon connections first: a hung or stopped daemon would
#    otherwise leave the detach and the unmount waiting for ever.
if [ -n "$(mounts_under)" ]; then
    if ! grep -q ' /sys/fs/fuse/connections ' /proc/self/mountinfo; then
        mount -t fusectl fusectl /sys/fs/fuse/connections 2>/dev/null
    fi
    mounts_under | while read -r minor fstype point; do
        case $fstype in
        fuse | fuse.*)
            if [ -e "/sys/fs/fuse/connections/$minor/abort" ]; then
                echo "cleanup_scratch.sh: aborting the fuse connection of $point" >&2
                echo 1 >"/sys/fs/fuse/connections/$minor/abort" 2>/dev/null
            fi
            ;;
        esac
    done
fi

# 2. Detach them. Aborting a connection lets its daemon unmount itself,
#    after which sysfs no longer shows the backing file under the folder.
#    diskseq changes on every attach: detach only the same attachments.
for entry in $ours; do
    name=${entry%%:*}
    [ "$(cat "/sys/block/$name/diskseq" 2>/dev/null)" = "${entry#*:}" ] || continue
    echo "cleanup_scratch.sh: detaching /dev/$name" >&2
    losetup -d "/dev/$name" 2>/dev/null
done

# 3. Unmount what is mounted under the folder, lazily when busy.
mounts_under | tac | while read -r minor fstype point; do
    echo "cleanup_scratch.sh: unmounting $point" >&2
    umount "$point" 2>/dev/null || umount -l "$point" 2>/dev/null
done

# 4. Remove the files; never cross into a file system still mounted there.
if [ -d "$dir" ]; then
    rm -rf --one-file-system -- "$dir" 2>/dev/null
fi
exit 0
