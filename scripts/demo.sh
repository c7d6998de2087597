#!/bin/sh
# The main job on an emulated board, no hardware needed: list the board, burn an ext4 image into
# a partition, read the partition back with "upload" and compare the two.
#
# usage: sh scripts/demo.sh [BUILD_DIR]     (default: build)
set -eu
build=${1:-build}
emu=$build/tools/emu/vorn-emu
vorn=$build/cli/vorn
for f in "$emu" "$vorn"; do
    [ -x "$f" ] || { echo "demo: $f is not built (cmake --build $build)"; exit 1; }
done
work=$(mktemp -d /tmp/vorn-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT

# A small file system with a few files in it.
mkdir -p "$work/tree/docs"
cp "$(dirname "$0")/../README.md" "$work/tree/docs/"
head -c 2000000 /dev/urandom >"$work/tree/random.bin"
mke2fs -q -F -t ext4 -b 4096 -d "$work/tree" "$work/system.img" 2000 >/dev/null 2>&1
size=$(stat -c %s "$work/system.img")
echo "== image: ext4, $size bytes"

PATH=$(dirname "$vorn"):$PATH
export PATH
"$emu" -t 60 --feature media:part=store/system/16M -- sh -c '
    echo "== vorn devices"
    vorn devices
    echo "== vorn getvar identify"
    vorn getvar identify 2>&1
    echo "== vorn partition -p system -f system.img"
    vorn partition -p system -f "$0" 2>&1
    echo "== vorn upload -p system -f back.img -z $1"
    vorn upload -p system -f "$2" -z "$1" 2>&1
' "$work/system.img" "$size" "$work/back.img"

if cmp "$work/system.img" "$work/back.img"; then
    echo "== the image read back is identical to the one burnt"
else
    echo "== the image read back differs"
    exit 1
fi
