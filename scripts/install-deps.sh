#!/bin/sh
# Installs the Debian packages that building, testing, benchmarking and packaging vorn need, when
# missing (groff-base renders the manual pages in the tests, dpkg-dev gives the packages their
# library dependencies, libssl-dev and nlohmann-json3-dev give burn records their digests and JSON).
# Run as root on Debian 12.
set -e
PACKAGES="
build-essential
cmake
pkg-config
libusb-1.0-0-dev
googletest
libgtest-dev
libgmock-dev
libbenchmark-dev
umockdev
libumockdev-dev
e2fsprogs
clang
libclang-rt-14-dev
qemu-system-x86
qemu-system-data
busybox-static
libusbredirparser-dev
cpio
dpkg-dev
xz-utils
autoconf
automake
libtool
groff-base
g++-mingw-w64-x86-64-posix
wine64
libssl-dev
nlohmann-json3-dev
"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
fi
