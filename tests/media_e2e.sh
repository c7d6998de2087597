#!/bin/sh
# Burning and reading partitions end to end: the real vorn binary, through libusb, against an
# emulated board with a storage medium on an emulated USB bus.
#
# usage: media_e2e.sh CASE VORN_EMU VORN VSIMG WORKDIR
#   normal     an ext4 image as a normal image, portions in order, read back with "upload"
#   sparse     the same image as a sparse one (probed), in a shuffled order
#   orders     the normal and the sparse image with a portion asked twice and with a refused
#              checksum, small portions of an odd size
#   stream     the raw image with "-t sparse", sent as a sparse encoding made on the fly, in a
#              shuffled order and with a refused checksum
#   slices     "mwrite" and "mread" slices, announced by "oem" commands of their own
#   vanish     boards that go away in the middle of a write and of a read (which keeps the old
#              output file); an upload ended by a signal, which leaves no partial file
#   fail       a board that answers every data request with FAIL
#   huge       an image of 4 GiB + 1 MiB (holes but for its last MiB) into a board that checks
#              the checksums of its portions without keeping them, asked near the end
set -u
case=$1
emu=$2
vorn=$3
vsimg=$4
work=$5/$case
rm -rf "$work"
mkdir -p "$work"
PATH=$(dirname "$vorn"):$PATH
export PATH
state=$work/state/board1

# Seeded test data, never /dev/urandom: VORN_TEST_SEED when set; a failure prints the seed.
seed=${VORN_TEST_SEED:-20261208}
gen() { LC_ALL=C awk -v n="$1" -v s="$((seed + $2))" 'BEGIN { srand(s); for (i = 0; i < n; i++) printf "%c", int(rand() * 256) }'; }
fail() {
    echo "FAIL ($case): $*"
    echo "(test data seed $seed)"
    echo "--- vorn and vorn-emu said:"
    cat "$work/err"
    [ -f "$state/media.txt" ] && { echo "--- media.txt:"; head -50 "$state/media.txt"; }
    exit 1
}
has() { grep -qF -- "$1" "$work/err" || fail "missing: $1"; }
media_has() { grep -qxF -- "$1" "$state/media.txt" || fail "media.txt lacks: $1"; }
no_problems() {
    [ -f "$state/media.txt" ] || fail "no media.txt"
    ! grep -q '^problem=' "$state/media.txt" || fail "the board saw problems"
    grep -q '^checksums=.* 0 wrong$' "$state/media.txt" || fail "wrong checksums"
}
nothing_completed() {
    ! grep -q '^completed=' "$state/media.txt" || fail "the board reported data it did not get"
}
# The additive checksum (little-endian 32-bit words, modulo 2^32) of the first N bytes of FILE,
# N a multiple of 4, as the board prints it.
word_sum() {
    head -c "$2" "$1" | od -An -v -tu4 |
        awk '{ for (i = 1; i <= NF; i++) s = (s + $i) % 4294967296 } END { printf "0x%x\n", s }'
}
same() { cmp "$1" "$2" >/dev/null || fail "$1 and $2 differ"; }

# Runs vorn-emu with a watchdog; the exit status is echoed.
run() {
    watchdog=$1
    shift
    rm -rf "$work/state"
    "$emu" -t "$watchdog" -o "$work/state" "$@" >"$work/out" 2>"$work/err"
    echo $?
}

# An ext4 file system with some files, 6 MiB + 12 KiB: not a multiple of 128 KiB.
make_ext4() {
    mkdir -p "$work/tree/sub"
    gen 1000000 1 >"$work/tree/a.bin"
    gen 777777 2 >"$work/tree/sub/b.bin"
    echo "hello from the image" >"$work/tree/hello.txt"
    mke2fs -q -F -t ext4 -b 4096 -d "$work/tree" "$work/fs.img" 1539 >/dev/null 2>&1 || fail "mke2fs"
    [ "$(stat -c %s "$work/fs.img")" = 6303744 ] || fail "unexpected image size"
    "$vsimg" tosparse -c "$work/fs.img" "$work/fs.sparse.img" >/dev/null 2>&1 || fail "vsimg tosparse"
}

# partition + upload of IMAGE (a normal or sparse ext4 image) with the media ARGS.
burn_and_read() {
    image=$1
    media=$2
    expect_type=$3
    rc=$(run 60 --feature "media:part=store/system/8M,$media" -- sh -c \
        'vorn partition -p system -f "$0" && vorn upload -p system -f "$1" -z 6303744' \
        "$image" "$work/back.img")
    [ "$rc" = 0 ] || fail "exit status $rc"
    has "cmd[oem mwrite 0x$(printf %x "$(stat -c %s "$image")") $expect_type store system 0x0]"
    has "cmd[oem mread 0x603000 normal store system 0x0]"
    has "MSG[VXN]mwrite finish"
    has "MSG[VXN]mread finish"
    same "$work/fs.img" "$work/back.img"
    head -c 6303744 "$state/media/store/system.bin" >"$work/part.img"
    same "$work/fs.img" "$work/part.img"
    no_problems
    media_has "completed=mread store/system 0x0 0x603000"
}

case $case in
normal)
    make_ext4
    burn_and_read "$work/fs.img" "portion=0x100000" normal
    ! grep -qF "sparse format detected" "$work/err" || fail "a normal image taken for sparse"
    media_has "completed=mwrite normal store/system 0x0 0x603000"
    ;;
sparse)
    make_ext4
    burn_and_read "$work/fs.sparse.img" "portion=0x40000,order=shuffled,seed=7" sparse
    has "sparse format detected"
    ;;
orders)
    make_ext4
    for order in repeated rejected; do
        burn_and_read "$work/fs.img" "portion=0x2fffd,order=$order" normal
        burn_and_read "$work/fs.sparse.img" "portion=0x10001,order=$order" sparse
        if [ $order = rejected ]; then
            grep -q '^checksums=.* 1 refused, 0 wrong$' "$state/media.txt" || fail "no refused checksum"
        fi
    done
    ;;
stream)
    # The raw image with "-t sparse": its sparse encoding, made while it is sent, is what the
    # image tool writes too (without the CRC32 chunk that -c adds).
    make_ext4
    stream=$(($(stat -c %s "$work/fs.sparse.img") - 16))
    for order in shuffled rejected; do
        rc=$(run 60 --feature "media:part=store/system/8M,portion=0x10001,order=$order,seed=3" -- sh -c \
            'vorn partition -t sparse -p system -f "$0"' "$work/fs.img")
        [ "$rc" = 0 ] || fail "exit status $rc"
        has "cmd[oem mwrite 0x$(printf %x $stream) sparse store system 0x0]"
        has "of 6.01 MiB to send,"
        has "MSG[VXN]mwrite finish"
        ! grep -qF "sparse format detected" "$work/err" || fail "a raw image taken for sparse"
        head -c 6303744 "$state/media/store/system.bin" >"$work/part.img"
        same "$work/fs.img" "$work/part.img"
        no_problems
        media_has "completed=mwrite sparse store/system 0x0 0x$(printf %x $stream)"
        crossed=0
        for n in $(grep '^served=' "$state/media.txt" | cut -d' ' -f2); do crossed=$((crossed + n)); done
        [ $crossed = $stream ] || fail "$crossed bytes crossed for a stream of $stream"
        [ $stream -lt 3000000 ] || fail "the stream ($stream bytes) holds more than the data"
    done
    ;;
slices)
    gen 700000 3 >"$work/f.bin"
    # Bytes 0x10000..0x2ffff of the file into the partition at 0x1000, then read back from there.
    rc=$(run 60 --feature "media:part=store/boot/1M,portion=0x7000" -- sh -c \
        'vorn oem mwrite 0x20000 normal store boot 0x1000 && vorn mwrite "$0" 0x20000 0x10000 &&
         vorn oem mread 0x20000 normal store boot 0x1000 && vorn mread "$1"' "$work/f.bin" "$work/slice.bin")
    [ "$rc" = 0 ] || fail "exit status $rc"
    dd if="$work/f.bin" of="$work/want.bin" bs=65536 skip=1 count=2 2>/dev/null
    same "$work/want.bin" "$work/slice.bin"
    no_problems
    media_has "completed=mwrite normal store/boot 0x1000 0x20000"
    ;;
vanish)
    gen 3000000 4 >"$work/img.bin"
    rc=$(run 60 --vanish-after 1500000 --feature "media:portion=0x100000" -- \
        vorn partition -p boot -f "$work/img.bin")
    [ "$rc" != 0 ] || fail "a vanished board reported success"
    has "FAILED (data transfer failure"
    nothing_completed
    echo "an older dump" >"$work/back.bin"
    rc=$(run 60 --feature "media:part=store/boot/4M/$work/img.bin,vanish-after-read=0x140000" -- \
        vorn upload -p boot -f "$work/back.bin" -z 3000000)
    [ "$rc" != 0 ] || fail "a vanished board reported success"
    has "ERR[VXN]Fail in send data at len 0x20000"
    nothing_completed
    # A failed upload leaves the file that was there, and nothing beside it.
    [ "$(cat "$work/back.bin")" = "an older dump" ] || fail "a failed upload replaced the old file"
    [ "$(ls -A "$work" | grep -c part)" = 0 ] || fail "a failed upload left a partial file"
    # An upload ended by a signal part way (here the file size limit's) leaves none either.
    rc=$(run 60 --feature "media:part=store/boot/4M/$work/img.bin" -- \
        sh -c 'ulimit -f 1000; exec vorn upload -p boot -f "$0" -z 3000000' "$work/back.bin")
    [ "$rc" != 0 ] || fail "an upload ended by a signal reported success"
    [ "$(cat "$work/back.bin")" = "an older dump" ] || fail "an ended upload replaced the old file"
    [ "$(ls -A "$work" | grep -c part)" = 0 ] || fail "an upload ended by a signal left a partial file"
    ;;
fail)
    gen 300000 5 >"$work/img.bin"
    rc=$(run 60 --fail "mwrite:=medium busy" --feature media -- vorn partition -p boot -f "$work/img.bin")
    [ "$rc" != 0 ] || fail "a failing board reported success"
    has "ERR[VXN]fail in send mwrite cmd[mwrite:verify=addsum]"
    has "FAILED (remote: medium busy)"
    nothing_completed
    ;;
huge)
    # 4 GiB + 1 MiB of holes, with data in its last MiB; the disk holds only that MiB.
    size=4296015872
    gen 1048576 6 >"$work/tail.bin"
    dd if="$work/tail.bin" of="$work/huge.img" bs=1048576 seek=4096 conv=notrunc 2>/dev/null
    [ "$(stat -c %s "$work/huge.img")" = $size ] || fail "unexpected image size"
    ask="ask=0x100000000+0x100000,ask=0xfffe0000+0x40000,ask=0x0+0x20000,ask=0x100080000+0x7ffff"
    rc=$(run 120 --feature "media:part=store/userdata/5G,no-store,$ask" -- \
        vorn partition -p userdata -f "$work/huge.img" -t normal)
    [ "$rc" = 0 ] || fail "exit status $rc"
    has "cmd[oem mwrite 0x100100000 normal store userdata 0x0]"
    has "MSG[VXN]mwrite finish"
    no_problems
    grep -q '^checksums=4 accepted, 0 refused, 0 wrong$' "$state/media.txt" || fail "not every portion was checked"
    # The board saw the right bytes: its sums of the portions that hold data match the file's.
    media_has "served=0x100000000 0x100000 $(word_sum "$work/tail.bin" 1048576)"
    media_has "served=0xfffe0000 0x40000 $(word_sum "$work/tail.bin" 131072)"
    media_has "served=0x0 0x20000 0x0"
    media_has "completed=mwrite normal store/userdata 0x0 0x100100000"
    ;;
*)
    echo "unknown case $case"
    exit 2
    ;;
esac
echo "ok ($case)"
