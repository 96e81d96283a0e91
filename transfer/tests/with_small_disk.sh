#!/usr/bin/env bash
# Runs a command with a small file system mounted, so that a test can fill a disk.
#   with_small_disk.sh DIR SIZE -- command [args...]
# Mounts a tmpfs of SIZE (e.g. 64k) on DIR (created when missing; a mount left there by
# an earlier run is removed first), runs the command, unmounts and exits with the
# command's exit code, or 125 when the file system could not be mounted (mounting needs
# root). The command sees HALVORIN_SMALL_DISK and HALVORIN_SMALL_DISK_WIN (the same
# directory as Wine's Z:).
set -u
if [ $# -lt 4 ] || [ "$3" != "--" ]; then
  echo "usage: $0 DIR SIZE -- command [args...]" >&2
  exit 125
fi
dir=$1 size=$2
shift 3
mkdir -p "$dir" || exit 125
dir=$(cd "$dir" && pwd) || exit 125
mountpoint -q "$dir" && umount "$dir"
if ! mount -t tmpfs -o "size=$size,mode=0777" tmpfs "$dir"; then
  echo "with_small_disk: cannot mount a tmpfs of $size on $dir" >&2
  exit 125
fi
cleanup() { mountpoint -q "$dir" && umount -l "$dir"; }
trap cleanup EXIT
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM
export HALVORIN_SMALL_DISK=$dir HALVORIN_SMALL_DISK_WIN="Z:${dir//\//\\}"
"$@"
status=$?
cleanup
exit $status
