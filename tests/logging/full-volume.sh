#!/usr/bin/env bash
# Runs the file sink's full-volume test on a volume of its own: a 256 KiB
# tmpfs mounted at the folder the test writes to. Mounting needs root (CI
# runs as root); elsewhere the test is reported as skipped.
#
#   full-volume.sh WINE-RUN TEST-PROGRAM FOLDER
set -u
run=$1 program=$2 folder=$3
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: mounting the small volume needs root"
    exit 77
fi
mkdir -p "$folder"
umount -l "$folder" 2>/dev/null
mount -t tmpfs -o size=256k tmpfs "$folder" || exit 1
trap 'umount -l "$folder"' EXIT
"$run" "$program" --gtest_filter='LogFileSinkVolumeTest.*'
