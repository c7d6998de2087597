#!/bin/sh
# Obtains what the kernel bed needs and keeps it in CACHE: the Debian kernel (never installed on
# this machine, only unpacked), its USB modules, and a libusb built without udev support. A bare
# guest has no udev daemon, and the distribution's libusb waits for one to learn that a board came
# back; built without it, libusb reads the kernel's hotplug events itself.
#
# usage: sh tests/kernel/fetch.sh CACHE          prints nothing on success; fails loudly
set -eu
cache=$1
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

fail() { echo "kernel-test: $*" >&2; exit 1; }

# The kernel package that Debian's generic kernel package currently stands for.
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n1
}

fetch_kernel() {
    [ -f "$cache/kernel/vmlinux" ] && [ -f "$cache/kernel/version" ] && return 0
    pkg=$(kernel_package)
    if [ -z "$pkg" ] && [ "$(id -u)" = 0 ]; then
        apt-get update -qq || fail "apt-get update failed"
        pkg=$(kernel_package)
    fi
    [ -n "$pkg" ] || fail "cannot find the Debian kernel package (apt-cache depends linux-image-amd64)"
    rm -rf "$cache/kernel.tmp"
    mkdir -p "$cache/kernel.tmp/deb"
    (cd "$cache/kernel.tmp/deb" && apt-get download "$pkg" >"$cache/kernel.tmp/apt.log" 2>&1) ||
        { cat "$cache/kernel.tmp/apt.log" >&2; fail "apt-get download $pkg failed"; }
    dpkg-deb -x "$cache"/kernel.tmp/deb/*.deb "$cache/kernel.tmp/root" || fail "cannot unpack $pkg"
    version=${pkg#linux-image-}
    root=$cache/kernel.tmp/root
    # The uncompressed kernel boots directly (PVH), much faster than through a BIOS.
    bz=$root/boot/vmlinuz-$version
    [ -f "$bz" ] || fail "$pkg has no boot/vmlinuz-$version"
    off=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$bz" | head -n1 | cut -d: -f1)
    [ -n "$off" ] || fail "no xz stream in $bz"
    tail -c +$((off + 1)) "$bz" | xz -dc >"$cache/kernel.tmp/vmlinux" 2>/dev/null || true
    head -c 4 "$cache/kernel.tmp/vmlinux" | grep -q ELF || fail "cannot uncompress the kernel of $pkg"
    mkdir -p "$cache/kernel.tmp/modules"
    for m in usb-common usbcore xhci-hcd xhci-pci ehci-hcd ehci-pci; do
        f=$(find "$root/lib/modules/$version" -name "$m.ko*" | head -n1)
        [ -n "$f" ] || fail "$pkg has no module $m"
        case $f in
            *.xz) xz -dc "$f" >"$cache/kernel.tmp/modules/$m.ko" ;;
            *.zst) zstd -qdc "$f" >"$cache/kernel.tmp/modules/$m.ko" ;;
            *) cp "$f" "$cache/kernel.tmp/modules/$m.ko" ;;
        esac
    done
    rm -rf "$cache/kernel"
    mkdir -p "$cache/kernel"
    mv "$cache/kernel.tmp/vmlinux" "$cache/kernel.tmp/modules" "$cache/kernel/"
    echo "$version" >"$cache/kernel/version"
    rm -rf "$cache/kernel.tmp"
}

deb_src_entry() {
    apt-cache showsrc libusb-1.0 >/dev/null 2>&1 && return 0
    [ "$(id -u)" = 0 ] || fail "no deb-src entry for the Debian registry, and not root to add one"
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        >/etc/apt/sources.list.d/vorn-kernel-test-src.sources
    apt-get update -qq || fail "apt-get update failed"
}

build_libusb() {
    [ -f "$cache/libusb/libusb-1.0.so.0" ] && return 0
    deb_src_entry
    rm -rf "$cache/libusb.tmp"
    mkdir -p "$cache/libusb.tmp"
    (cd "$cache/libusb.tmp" && apt-get source -qq libusb-1.0 >/dev/null 2>&1) || fail "apt-get source libusb-1.0 failed"
    src=$(find "$cache/libusb.tmp" -maxdepth 1 -type d -name 'libusb-1.0*' | head -n1)
    [ -n "$src" ] || fail "no libusb source tree"
    (cd "$src" && { [ -x configure ] || autoreconf -fi >/dev/null 2>&1; } &&
        ./configure -q --disable-udev --disable-static --prefix=/usr >/dev/null &&
        make -s -j2 >/dev/null 2>&1) || fail "the libusb build (--disable-udev) failed"
    lib=$(find "$src" -name 'libusb-1.0.so.0.*' -type f | head -n1)
    [ -n "$lib" ] || fail "the libusb build made no shared library"
    mkdir -p "$cache/libusb"
    cp "$lib" "$cache/libusb/libusb-1.0.so.0"
    rm -rf "$cache/libusb.tmp"
}

fetch_kernel
build_libusb
