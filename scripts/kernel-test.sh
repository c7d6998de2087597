#!/bin/sh
# The kernel bed: the real vorn binary inside a virtual machine (QEMU, no KVM needed) running the
# Debian kernel, against emulated boards that vorn-redir serves to the machine's USB host
# controller (xHCI and EHCI, side by side) over usbredir. Exercises what only a real USB stack shows: packet
# sizes, overflow, stalls, claims, re-enumeration with a new address, unplugging, and devices
# added to and removed from the running machine through its monitor (the station's scenario).
#
# usage: sh scripts/kernel-test.sh [--keep] [BUILD_DIR]      (default build)
#   --keep   keep the run folders (guest output, board logs) even when every scenario passed
#   Installs what it needs when run as root; keeps the kernel (with its USB modules) and the
#   libusb build in BUILD_DIR/kernel-test/cache. A failed run keeps the guest's output and each
#   board's log in BUILD_DIR/kernel-test/run-<hc>/ and names the failed scenarios.
set -eu
cd "$(dirname "$0")/.."
keep=no
[ "${1:-}" = --keep ] && { keep=yes; shift; }
build=${1:-build}
mkdir -p "$build"
build=$(cd "$build" && pwd)
kt=$build/kernel-test
cache=$kt/cache
start=$(date +%s)

fail() { echo "kernel-test: $*" >&2; exit 1; }

# ---- what it needs --------------------------------------------------------------------------
need="qemu-system-x86 qemu-system-data busybox-static libusbredirparser-dev cpio dpkg-dev xz-utils
      autoconf automake libtool pkg-config build-essential cmake"
missing=""
for p in $need; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    [ "$(id -u)" = 0 ] || fail "missing packages:$missing (run as root, or install them)"
    echo "kernel-test: installing$missing"
    apt-get update -qq || fail "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null || fail "cannot install$missing"
fi
command -v qemu-system-x86_64 >/dev/null || fail "no qemu-system-x86_64"
[ -f /usr/share/qemu/qboot.rom ] || fail "no /usr/share/qemu/qboot.rom (qemu-system-data)"
[ -x /bin/busybox ] || fail "no /bin/busybox (busybox-static)"

# The kernel download and the libusb build go on while vorn builds.
sh tests/kernel/fetch.sh "$cache" &
fetch=$!
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target vorn vorn-redir vsimg >/dev/null || fail "the build failed"
wait $fetch || fail "cannot obtain the kernel or build libusb (above)"
vorn=$build/cli/vorn
redir=$build/tools/redir/vorn-redir
vsimg=$build/tools/vsimg/vsimg
[ -x "$redir" ] || fail "vorn-redir was not built (libusbredirparser-dev missing?)"

kernel=$cache/kernel/vmlinux

# ---- the guest's files ------------------------------------------------------------------------
# Assembled afresh each run (copies only), so that the guest's libraries are the ones vorn was
# just linked against; the kernel's modules come from the cache.
work=$kt/guest
rm -rf "$work"
mkdir -p "$work/bin" "$work/lib/modules" "$work/proc" "$work/sys" "$work/dev" "$work/tmp" "$work/data" "$work/usr/bin"
cp /bin/busybox "$work/bin/"
# The kernel runs /init with /bin/sh.
ln -s busybox "$work/bin/sh"
cp "$cache"/kernel/modules/*.ko "$work/lib/modules/"
for lib in $(LD_LIBRARY_PATH=$cache/libusb ldd "$vorn" | grep -o '/[^ ]*' | grep -v "^$cache"); do
    mkdir -p "$work$(dirname "$lib")"
    cp -L "$lib" "$work$lib"
done
libdir=$(dirname "$(ldd "$vorn" | sed -n 's/.*libusb-1.0.so.0 => \([^ ]*\).*/\1/p')")
mkdir -p "$work$libdir"
cp "$cache/libusb/libusb-1.0.so.0" "$work$libdir/"
cp "$vorn" "$work/usr/bin/vorn"
cp tests/kernel/init "$work/init"
cp tests/kernel/scenarios.sh "$work/scenarios.sh"
chmod +x "$work/init"

# Test data without randomness: counting text, different at every offset. Sizes: multiples of
# 128 KiB, of 512 but not 128 KiB, and of neither.
data=$work/data
counting() { seq "$2" 99999999 | head -c "$1"; }
counting 393216 1 >"$data/img-a128k.raw"
counting 397824 2 >"$data/img-b512.raw"
counting 1000001 3 >"$data/img-odd.raw"
counting 2621441 4 >"$data/img-big.raw"
counting 1179649 5 >"$data/par.raw"
counting 40961 6 >"$data/bl.bin"
# Sparse images: data, a hole of zeros, data.
{ counting 300000 7; head -c 1048576 /dev/zero; counting 192096 8; } >"$data/img-sp1.expanded"
{ counting 524288 9; head -c 1048576 /dev/zero; counting 524288 10; } >"$data/img-sp2.expanded"
for n in sp1 sp2; do
    "$vsimg" tosparse "$data/img-$n.expanded" "$data/img-$n.sparse" >/dev/null || fail "vsimg tosparse failed"
done
(cd "$work" && find . | cpio -o -H newc --quiet) >"$kt/initramfs.cpio"

# ---- the boards -------------------------------------------------------------------------------
parts="part=store/par/4M,part=store/boot/4M"
for f in "$data"/img-*.raw; do parts="$parts,part=store/p-$(basename "$f" .raw)/4M"; done
for f in "$data"/img-*.sparse; do parts="$parts,part=store/s-$(basename "$f" .sparse)/4M"; done
# The raw images of the sparse ones, burned with "-t sparse": encoded on the fly by vorn.
for f in "$data"/img-*.expanded; do parts="$parts,part=store/t-$(basename "$f" .expanded)/4M"; done
long() { printf "%0$1d" 0 | tr 0 L; }

# hot_port HC K: the bus and port of the K-th board hot-plugged through the monitor, on ports
# left free by the boards the machine starts with.
hot_port() {
    if [ "$1" = xhci ]; then echo "bus=hc1.0,port=$((10 + $2))"; else echo "bus=hc3.0,port=$2"; fi
}

# board_args HC DIR: the vorn-redir command line for the ten boards and the three hot-plugged
# ones (11-13; 13 never answers "getvar:product"), sockets in DIR.
board_args() {
    hc=$1
    d=$2
    echo "--board $d/r1.sock --media $parts,order=sequential"
    echo "--board $d/r2.sock --media $parts,order=shuffled,seed=7,portion=0x20000"
    echo "--board $d/r3.sock --media $parts,order=repeated,portion=0x20000,read-portion=0x30000"
    echo "--board $d/r4.sock --serial '' --media $parts,order=rejected,portion=0x20000"
    echo "--board $d/r5.sock --unplugged --identify 0601000000000000 --boot file=$data/bl.bin,stage=bl1"
    echo "--board $d/r6.sock --unplugged --hang getvar:hang"
    echo "--board $d/r7.sock --unplugged --var long200=$(long 196) --var long600=$(long 596)"
    echo "--board $d/r8.sock --unplugged --vanish-after 300000 --media $parts"
    echo "--board $d/r9.sock --unplugged --media $parts,vanish-after-read=300000"
    echo "--board $d/r10.sock --unplugged --zlp-before getvar:product --stall-on getvar:stall"
    echo "--board $d/h11.sock --hotplug $(hot_port "$hc" 1) --media $parts"
    echo "--board $d/h12.sock --hotplug $(hot_port "$hc" 2) --media $parts"
    echo "--board $d/h13.sock --hotplug $(hot_port "$hc" 3) --media $parts --hang getvar:product"
}

# The machine's USB side: host controllers and one usb-redir device per board it starts with;
# the hot-plugged boards' ports (hot_port) stay free.
usb_args() {
    hc=$1
    d=$2
    if [ "$hc" = xhci ]; then
        echo "-device qemu-xhci,id=hc1,p2=13,p3=1"
    else
        echo "-device usb-ehci,id=hc1 -device usb-ehci,id=hc2 -device usb-ehci,id=hc3"
    fi
    for i in 1 2 3 4 5 6 7 8 9 10; do
        bus=hc1.0 port=$i
        [ "$hc" = ehci ] && [ $i -gt 6 ] && bus=hc2.0 port=$((i - 6))
        echo "-chardev socket,id=r$i,path=$d/r$i.sock,server=on,wait=off"
        echo "-device usb-redir,chardev=r$i,bus=$bus,port=$port"
    done
}

# run_guest HC: boots the machine with the boards; its console goes to run-HC/guest.log.
run_guest() {
    hc=$1
    d=$kt/run-$hc
    rm -rf "$d"
    mkdir -p "$d"
    # Socket paths are short whatever the build folder's path is (108 bytes at most).
    sock=$(mktemp -d /tmp/vorn-kt-XXXXXX)
    # shellcheck disable=SC2046
    timeout -k 5 600 qemu-system-x86_64 -M pc -bios /usr/share/qemu/qboot.rom -m 512 -nodefaults \
        -display none -no-reboot -kernel "$kernel" -initrd "$kt/initramfs.cpio" \
        -append "console=ttyS0 quiet panic=-1 clocksource=hpet vorn_hc=$hc" \
        -serial "file:$d/guest.log" \
        -chardev "socket,id=ctl,path=$sock/ctl.sock,server=on,wait=off" -serial chardev:ctl \
        -qmp "unix:$sock/qmp.sock,server=on,wait=off" \
        $(usb_args "$hc" "$sock") >"$d/qemu.log" 2>&1 &
    qemu=$!
    eval "set -- $(board_args "$hc" "$sock" | tr '\n' ' ')"
    "$redir" -o "$d/boards" --control "$sock/ctl.sock" --monitor "$sock/qmp.sock" "$@" >"$d/redir.log" 2>&1 &
    server=$!
    wait $qemu || echo "qemu exited with $?" >>"$d/qemu.log"
    kill $server 2>/dev/null || true
    wait $server 2>/dev/null || true
    rm -rf "$sock"
}

echo "kernel-test: kernel $(cat "$cache/kernel/version"), guests booting (xHCI and EHCI side by side)"
run_guest xhci &
xhci_pid=$!
run_guest ehci &
ehci_pid=$!
wait $xhci_pid $ehci_pid || true

# ---- judging ----------------------------------------------------------------------------------
known=$(grep -v '^#' tests/kernel/known-to-fail | grep -v '^$' || true)
failed=0
judge() {
    hc=$1
    d=$kt/run-$hc
    log=$d/guest.log
    bad=0
    if ! grep -q '^RESULT-END' "$log" 2>/dev/null; then
        echo "FAIL $hc: the guest did not finish its scenarios (see $log)"
        bad=1
    fi
    # A kernel message may come between a result and its line's end: it is not part of the result.
    tr -d '\r' <"$log" | grep '^RESULT ' | sed 's/\[ *[0-9]*\.[0-9]\{6\}\] .*//' >"$d/results" || true
    # A result line cut by a kernel message on the console must not go unnoticed.
    expected=$(tr -d '\r' <"$log" | sed -n 's/^RESULT-END \([0-9]*\)$/\1/p')
    if [ -n "$expected" ] && [ "$(wc -l <"$d/results")" != "$expected" ]; then
        echo "FAIL $hc: $expected scenarios ran but $(wc -l <"$d/results") results could be read (see $log)"
        bad=1
    fi
    while read -r _ name verdict why; do
        known_fail=no
        for k in $known; do [ "$k" = "$name" ] && known_fail=yes; done
        case $verdict/$known_fail in
            PASS/no) echo "  pass   $hc/$name" ;;
            FAIL/yes) echo "  xfail  $hc/$name: $why" ;;
            PASS/yes)
                echo "FAIL $hc/$name: passes now; delete its line from tests/kernel/known-to-fail"
                bad=1 ;;
            *)
                echo "FAIL $hc/$name: $why"
                bad=1 ;;
        esac
    done <"$d/results"
    # The boards' own verdict: the media and boot stages saw nothing amiss.
    for b in 1 2 3 4 5 11 12 13; do
        for f in "$d/boards/board$b/media.txt" "$d/boards/board$b/boot.txt"; do
            [ -f "$f" ] || continue
            if grep -qi '^problem' "$f"; then
                echo "FAIL $hc/board$b: the board saw problems:"
                grep -i '^problem' "$f" | head -n 5
                bad=1
            fi
        done
    done
    # What the boards hold, byte for byte, whatever vorn read back.
    for b in 1 2 3 4; do
        imgs="img-odd.raw img-big.raw img-sp1.expanded par.raw"
        [ $b = 1 ] && imgs="$imgs img-a128k.raw img-b512.raw img-sp2.expanded"
        [ $b = 2 ] && imgs="$imgs img-a128k.raw"
        for img in $imgs; do
            img=$data/$img
            n=$(basename "$img"); n=${n%.raw}; n=${n%.expanded}
            part=p-$n
            case $img in *.expanded) part=s-$n ;; */par.raw) part=par ;; esac
            for p in $part $(case $img in *.expanded) [ $b = 1 ] && echo "t-$n" ;; esac); do
                held=$d/boards/board$b/media/store/$p.bin
                if ! cmp -s -n "$(wc -c <"$img")" "$img" "$held"; then
                    echo "FAIL $hc/board$b: store/$p does not hold $(basename "$img")"
                    bad=1
                fi
            done
        done
    done
    # The station's hot-plugged boards: the partition step passed on each (board 13 was removed
    # in its next step).
    for b in 11 12 13; do
        cmp -s -n "$(wc -c <"$data/img-big.raw")" "$data/img-big.raw" "$d/boards/board$b/media/store/p-img-big.bin" ||
            { echo "FAIL $hc/board$b: store/p-img-big does not hold img-big.raw"; bad=1; }
    done
    for kv in restarts=2 stages_finished=2 "served_bytes=$((2 * $(wc -c <"$data/bl.bin")))"; do
        grep -qxF "$kv" "$d/boards/board5/boot.txt" 2>/dev/null ||
            { echo "FAIL $hc/board5: boot.txt lacks $kv"; bad=1; }
    done
    if [ $bad = 0 ] && [ $keep = no ]; then
        rm -rf "$d"
    elif [ $bad = 0 ]; then
        echo "  kept: $d"
    else
        echo "  kept: $d (guest.log, boards/board<N>.log, redir.log, qemu.log)"
        failed=1
    fi
}
judge xhci
judge ehci
echo "kernel-test: $(($(date +%s) - start)) s"
[ $failed = 0 ] || fail "failed (the names above)"
echo "kernel-test: all scenarios as expected"
