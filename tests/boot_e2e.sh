#!/bin/sh
# The boot-loader stages end to end: the real vorn binary, through libusb, against an emulated
# board on an emulated USB bus that restarts (and re-enumerates) between its stages.
#
# usage: boot_e2e.sh CASE VORN_EMU VORN WORKDIR
#   p5          bl1_boot then bl2_boot on protocol 5: BL1, re-enumeration, BL2
#   p6          the same on protocol 6 with the serial flag: BL1, BL2, re-open by serial, BL2E,
#               with two refused checksums on the way
#   never-back  protocol 6: after BL2 the board never comes back; vorn waits (watchdog ends it)
#   no-serial   protocol 6: after BL2 the board comes back without its serial number; vorn waits
#   right-board protocol 6, two boards with one serial number at 1-1 and 1-2: a run that chose
#               1-2 feeds BL2E to 1-2, and 1-1 hears nothing
#   lost-events vorn gets no hot-plug news of the bus: it still finds the board that restarted
#               into BL2E, and a board that comes back after a reboot, by looking afresh
here=$(cd "$(dirname "$0")" && pwd)
default_seed=20261208
. "$here/e2e_common.sh"

file=$work/boot.bin
# An odd size, so that the last portion of each stage is short.
size=40961
gen $size 1 >"$file"
state=$work/state/board1

fail() {
    echo "FAIL ($case): $*"
    echo "(test data seed $seed)"
    echo "--- vorn and vorn-emu said:"
    cat "$work/err"
    [ -f "$state/boot.txt" ] && { echo "--- boot.txt:"; cat "$state/boot.txt"; }
    exit 1
}
count_of() { grep -cxF -- "$1" "$work/err"; }
boot_state() {
    got=$(sed -n "s/^$1=//p" "$state/boot.txt")
    [ "$got" = "$2" ] || fail "boot.txt: $1=$got, expected $2"
}
no_problems() {
    [ -f "$state/boot.txt" ] || fail "no boot.txt"
    ! grep -q '^problem=' "$state/boot.txt" || fail "the board saw problems"
}

run() {
    watchdog=$1
    shift
    "$emu" -t "$watchdog" -o "$work/state" "$@" >"$work/out" 2>"$work/err"
    echo $?
}

case $case in
p5)
    rc=$(run 30 --identify 0500000000000000 \
        --feature "boot:file=$file,stage=bl1,download-size=0x8000" \
        -- sh -c 'vorn bl1_boot -f "$0" && vorn bl2_boot -f "$0"' "$file")
    [ "$rc" = 0 ] || fail "exit status $rc"
    has_line "MSG[VXN]device mode:05-00-00-00"
    has_line "MSG[VXN]download sz is 0x8000"
    has_line "MSG[VXN]okay download bl2"
    has_line "MSG[VXN]device mode:05-00-00-08"
    [ "$(count_of 'MSG[VXN]bl2boot tranfer END')" = 1 ] || fail "not one end of transfer"
    lacks "bl2e"
    lacks "ERR[VXN]"
    no_problems
    boot_state first_stage 32768
    boot_state restarts 1
    boot_state stages_finished 1
    boot_state served_bytes $size
    ;;
p6)
    rc=$(run 30 --identify 0601000000000000 \
        --feature "boot:file=$file,stage=bl1,download-size=0x8000,refuse-checksums=2" \
        -- sh -c 'vorn bl1_boot -f "$0" && vorn bl2_boot -f "$0"' "$file")
    [ "$rc" = 0 ] || fail "exit status $rc"
    has_line "MSG[VXN]device mode:06-01-00-00"
    has_line "MSG[VXN]device mode:06-01-00-08"
    has_line "MSG[VXN]bl2 serail:VXN0001"
    has_line "MSG[VXN]Now jump to bl2e"
    has_line "MSG[VXN]need update usb handle for bl2e"
    has_line "MSG[VXN]device mode:06-01-00-12"
    [ "$(count_of 'MSG[VXN]bl2boot tranfer END')" = 2 ] || fail "not two ends of transfer"
    grep -q '^MSG\[VXN\]FAIL in setvar:checksum, origsum 0x[0-9a-f]*, trytime 2 : 3$' "$work/err" ||
        fail "no second refused checksum"
    lacks "ERR[VXN]"
    no_problems
    boot_state checksums_refused 2
    boot_state restarts 2
    boot_state stages_finished 2
    boot_state served_bytes $((2 * size))
    ;;
never-back | no-serial)
    arg=no-return
    [ "$case" = no-serial ] && arg=empty-serial-after-restart
    rc=$(run 4 --identify 0601000800000000 --feature "boot:file=$file,stage=bl2,$arg" \
        -- vorn bl2_boot -f "$file")
    [ "$rc" = 124 ] || fail "exit status $rc, expected the watchdog's 124"
    has_line "MSG[VXN]bl2boot tranfer END"
    has_line "MSG[VXN]need update usb handle for bl2e"
    [ "$(count_of '< waiting for Quenrix VXN0001 >')" = 1 ] || fail "not one waiting line"
    lacks "fail in update dev handle"
    lacks "device mode:06-01-00-12"
    ;;
right-board)
    rc=$(run 30 -n 2 --serial SAME --identify 0601000800000000 --feature "boot:file=$file,stage=bl2" \
        -- vorn -s 1-2 bl2_boot -f "$file")
    [ "$rc" = 0 ] || fail "exit status $rc"
    has_line "MSG[VXN]need update usb handle for bl2e"
    has_line "MSG[VXN]device mode:06-01-00-12"
    [ "$(count_of 'MSG[VXN]bl2boot tranfer END')" = 2 ] || fail "not two ends of transfer"
    [ ! -s "$work/state/board1/commands.txt" ] || fail "board 1 was sent: $(cat "$work/state/board1/commands.txt")"
    state=$work/state/board2
    no_problems
    boot_state restarts 1
    boot_state stages_finished 2
    boot_state served_bytes $((2 * size))
    ;;
lost-events)
    # The board is off the bus for a second after its reboot, while the second vorn starts.
    rc=$(run 40 --identify 0601000800000000 --reenumerate-delay 1000 \
        --feature "boot:file=$file,stage=bl2,reboot-to=bl2" \
        -- sh -c 'export VORN_EMU_NO_HOTPLUG=1; vorn bl2_boot -f "$0" && vorn reboot && vorn getvar identify' "$file")
    [ "$rc" = 0 ] || fail "exit status $rc"
    has_line "MSG[VXN]device mode:06-01-00-12"
    [ "$(count_of 'MSG[VXN]bl2boot tranfer END')" = 2 ] || fail "not two ends of transfer"
    grep -qF "06-01-00-08-00-00-00-00" "$work/err" || fail "no identify after the reboot"
    no_problems
    boot_state restarts 2
    boot_state stages_finished 2
    ;;
*)
    echo "unknown case $case"
    exit 2
    ;;
esac
echo "ok ($case)"
