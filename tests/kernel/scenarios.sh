#!/bin/sh
# The scenarios of the kernel bed, run inside the guest by /init: the real vorn binary against
# the emulated boards that vorn-redir serves to the machine's USB host controller. Each scenario
# prints "RESULT <name> PASS" or "RESULT <name> FAIL <why>"; the runner on the host judges them.
#
# The boards (see scripts/kernel-test.sh):
#   1-4  media boards with four portion orders (sequential, shuffled, repeated, rejected);
#        board 4 has no serial number. Only these are plugged in at the start.
#   5    boot stages from BL1, re-enumerating into BL2E       (VXN0005)
#   6    never answers "getvar:hang"                          (VXN0006)
#   7    variables of 196 and 596 bytes (replies of 200 and 600) (VXN0007)
#   8    vanishes in the middle of a write                    (VXN0008)
#   9    vanishes in the middle of a read                     (VXN0009)
#   10   an empty packet before "getvar:product", a stall on "getvar:stall" (VXN0010)
#   11-13 media boards the machine does not have until "hotplug N" (its monitor adds their
#        usb-redir devices; "hotunplug N" removes them); 13 never answers "getvar:product"
# Files: /data/img-*.raw (normal images), /data/img-*.sparse with /data/img-*.expanded (what a
# sparse image expands to), /data/par.raw (the parallel burn), /data/bl.bin (the boot-loader file).
# Partitions: p-<image> and s-<image> for each image, t-<image> for each expanded one (burned
# with "-t sparse"), "par", "boot".
hc=$1
watchdog=30
out=/tmp/out
err=/tmp/err

result() { echo "RESULT $1 $2"; }
say() { echo "-- $*"; }

# vorn under the watchdog; its status in $rc, its output in $out/$err (copied to the console).
v() {
    timeout "$watchdog" vorn "$@" >"$out" 2>"$err"
    rc=$?
    say "vorn $* -> $rc"
    sed 's/^/   | /' "$out" "$err" | tr '\r' '\n' | grep -v '^   | \[ *[0-9]*%/' | tail -n 12
}

# Port path of the board with serial $1 ('' for the board without one).
port_of() {
    for d in /sys/bus/usb/devices/*; do
        [ "$(cat "$d/idVendor" 2>/dev/null)" = 4f2d ] || continue
        s=$(cat "$d/serial" 2>/dev/null)
        [ "$s" = "$1" ] && { basename "$d"; return 0; }
    done
    return 1
}
devnum_of() { p=$(port_of "$1") && cat "/sys/bus/usb/devices/$p/devnum"; }

# Waits (bounded) for the board with serial $1 to be on the bus.
wait_board() {
    i=0
    while [ $i -lt 600 ]; do
        port_of "$1" >/dev/null && return 0
        sleep 0.05
        i=$((i + 1))
    done
    return 1
}
plug() { echo "plug $1" >/dev/ttyS1; }
unplug() { echo "unplug $1" >/dev/ttyS1; }
hotplug() { echo "hotplug $1" >/dev/ttyS1; }
hotunplug() { echo "hotunplug $1" >/dev/ttyS1; }

# Waits (bounded) for a line matching the pattern $1 in file $2.
wait_line() {
    i=0
    while [ $i -lt 1200 ]; do
        grep -q "$1" "$2" && return 0
        sleep 0.05
        i=$((i + 1))
    done
    return 1
}

# Scenario NAME COMMAND...: runs the shell function and reports it.
count=0
scenario() {
    count=$((count + 1))
    name=$1
    shift
    echo "== scenario $hc/$name (at $(cut -d' ' -f1 /proc/uptime) s)"
    why=$("$@" 2>&1 | tee /dev/console | sed -n 's/^WHY //p' | head -n1)
    if [ -z "$why" ]; then result "$name" PASS; else result "$name" "FAIL $why"; fi
}
no() { echo "WHY $*"; }
ok_status() { [ "$rc" = 0 ] || no "vorn exited with $rc"; }
ended_by_itself() { [ "$rc" != 143 ] || no "vorn was still running when the ${watchdog}s watchdog ended it"; }

# ---- the scenarios --------------------------------------------------------------------------

devices_four() {
    i=0
    while [ $i -lt 600 ] && [ "$(vorn devices | wc -l)" -lt 4 ]; do sleep 0.05; i=$((i + 1)); done
    v devices
    ok_status
    [ "$(wc -l <"$out")" = 4 ] || no "$(wc -l <"$out") boards listed, expected 4"
    for s in VXN0001 VXN0002 VXN0003 '????????????'; do
        grep -qxF "$s	Qrx_VXN" "$out" || no "no line for $s"
    done
}

getvar_text() {
    v -s VXN0001 getvar product
    ok_status
    grep -qxF "product: qrx-evb" "$err" || no "no line 'product: qrx-evb'"
}

getvar_binary() {
    v -s VXN0001 getvar identify
    ok_status
    grep -q "06-01-00-10-00-00-00-00" "$err" || no "identify bytes not shown"
}

# burn_and_read SELECTOR PARTITION IMAGE EXPECTED: partition, upload, byte-exact compare.
burn_and_read() {
    v -s "$1" partition -p "$2" -f "$3"
    ok_status
    [ "$rc" = 0 ] || return 0
    size=$(wc -c <"$4")
    rm -f /tmp/back
    v -s "$1" upload -p "$2" -f /tmp/back -z "$size"
    ok_status
    cmp -s /tmp/back "$4" || no "$2 read back differs from $4"
    rm -f /tmp/back
}

# A raw image sent with "-t sparse": vorn encodes it on the fly; the board decodes it itself.
raw_as_sparse() {
    v -s VXN0001 partition -p "t-$1" -t sparse -f "/data/$1.expanded"
    ok_status
    grep -qF "sparse stream: " "$err" || no "the raw image was not sent as a sparse stream"
    [ "$rc" = 0 ] || return 0
    rm -f /tmp/back
    v -s VXN0001 upload -p "t-$1" -f /tmp/back -z "$(wc -c <"/data/$1.expanded")"
    ok_status
    cmp -s /tmp/back "/data/$1.expanded" || no "t-$1 read back differs from $1.expanded"
    rm -f /tmp/back
}

# A burn plan on board 1: a partition, its read-back (a path taken from the plan's folder) and
# the board's own key through ${serial}, with the record of the run.
burn_plan() {
    mkdir -p /tmp/plan
    size=$(wc -c </data/img-odd.raw)
    head -c 16 /data/img-odd.raw >/tmp/plan/VXN0001.key
    {
        echo "# a plan of the kernel bed"
        echo "partition -p p-img-odd -f /data/img-odd.raw"
        echo "upload -p p-img-odd -f back.raw -z $size"
        echo 'setkey ${serial}.key'
    } >/tmp/plan/k.plan
    rm -f /tmp/plan/report.jsonl /tmp/plan/back.raw
    v -s VXN0001 burn -f /tmp/plan/k.plan -r /tmp/plan/report.jsonl -T 20
    ok_status
    grep -q "^burn: passed \[" "$err" || no "no \"burn: passed\" line"
    cmp -s /tmp/plan/back.raw /data/img-odd.raw || no "the partition read back by the plan differs"
    grep -qF '"result":"passed"' /tmp/plan/report.jsonl || no "the record does not say passed"
    grep -qF '"serial":"VXN0001"' /tmp/plan/report.jsonl || no "the record does not name the board"
    rm -rf /tmp/plan
}

# media_board SELECTOR N IMAGES...: burns and reads back each image on board N.
media_board() {
    sel=$1
    b=$2
    shift 2
    for n in "$@"; do
        if [ -f "/data/$n.sparse" ]; then
            scenario "partition-sparse-$n-board$b" burn_and_read "$sel" "s-$n" "/data/$n.sparse" "/data/$n.expanded"
        else
            scenario "partition-normal-$n-board$b" burn_and_read "$sel" "p-$n" "/data/$n.raw" "/data/$n.raw"
        fi
    done
}

parallel_four() {
    pids=""
    for b in 1 2 3 4; do
        s=VXN000$b
        [ $b = 4 ] && s=
        p=$(port_of "$s") || { no "board $b is not on the bus"; return 0; }
        (timeout "$watchdog" vorn -s "$p" partition -p par -f /data/par.raw >/tmp/par$b.log 2>&1
         echo $? >/tmp/par$b.rc) &
        pids="$pids $!"
    done
    wait $pids
    for b in 1 2 3 4; do
        say "board $b: status $(cat /tmp/par$b.rc)"
        tail -n 3 /tmp/par$b.log | tr '\r' '\n' | tail -n 3
        [ "$(cat /tmp/par$b.rc)" = 0 ] || no "burn on board $b exited with $(cat /tmp/par$b.rc)"
    done
    for b in 1 2 3 4; do
        s=VXN000$b
        [ $b = 4 ] && s=
        p=$(port_of "$s")
        v -s "$p" upload -p par -f /tmp/back -z "$(wc -c </data/par.raw)"
        cmp -s /tmp/back /data/par.raw || no "board $b: read back differs"
        rm -f /tmp/back
    done
}

boot_stages() {
    wait_board VXN0005 || { no "board 5 never appeared"; return 0; }
    first=$(devnum_of VXN0005)
    v -s VXN0005 bl1_boot -f /data/bl.bin
    ok_status
    wait_board VXN0005 || no "board 5 did not come back after BL1"
    v -s VXN0005 bl2_boot -f /data/bl.bin
    ok_status
    grep -qF "device mode:06-01-00-12" "$err" || no "BL2E was not reached"
    wait_board VXN0005 || no "board 5 is not on the bus after BL2E"
    last=$(devnum_of VXN0005)
    say "address before $first, after $last"
    [ -n "$last" ] && [ "$last" != "$first" ] || no "the board did not come back with a new address"
}

never_answers() {
    watchdog=5
    v -s VXN0006 getvar hang
    [ "$rc" = 143 ] || no "status $rc, expected the watchdog's 143"
}

# A second process must leave a claimed board alone, say that it is in use, and get it once the
# first process has let it go.
claimed_board() {
    wait_board VXN0006 || { no "board 6 never appeared"; return 0; }
    p=$(port_of VXN0006)
    timeout 30 vorn -s VXN0006 getvar hang >/tmp/holder.log 2>&1 &
    holder=$!
    # An interface claimed through usbfs is bound to the "usbfs" driver.
    i=0
    while [ $i -lt 600 ] && [ "$(basename "$(readlink "/sys/bus/usb/devices/$p:1.0/driver")")" != usbfs ]; do
        sleep 0.05
        i=$((i + 1))
    done
    [ $i -lt 600 ] || no "the first process never claimed the board"
    timeout 20 vorn -s VXN0006 getvar product >"$out" 2>"$err" &
    second=$!
    i=0
    while [ $i -lt 100 ] && ! grep -qiE "busy|claimed|in use" "$err"; do
        sleep 0.05
        i=$((i + 1))
    done
    grep -qiE "busy|claimed|in use" "$err" || no "the second process did not say that the board is in use"
    kill $holder 2>/dev/null
    wait $holder 2>/dev/null
    wait $second
    rc=$?
    say "second process -> $rc"
    sed 's/^/   | /' "$err"
    ok_status
    grep -qxF "product: qrx-evb" "$err" || no "the second process did not get the board once it was free"
}

# A reply longer than the exchange keeps is shown cut, and nothing of it is left on the board to
# be taken for the reply of the next command.
reply_long() {
    watchdog=10
    v -s VXN0007 getvar "long$1"
    ok_status
    # A reply holds at most 124 bytes of payload, so the value may be shown cut to that.
    value=$(sed -n "s/^long$1: \(L*\)$/\1/p" "$err")
    [ "${#value}" -ge 100 ] || no "the value of the $1-byte reply was not shown"
    v -s VXN0007 getvar serialno
    grep -qxF "serialno: VXN0007" "$err" || no "the next command did not get its own reply"
}

zlp_before_reply() {
    watchdog=10
    v -s VXN0010 getvar product
    ok_status
    grep -qxF "product: qrx-evb" "$err" || no "the reply after the empty packet was not shown"
}

stall_and_next() {
    watchdog=10
    v -s VXN0010 getvar stall
    ended_by_itself
    [ "$rc" != 0 ] || no "a stalled command reported success"
    v -s VXN0010 getvar serialno
    ok_status
    grep -qxF "serialno: VXN0010" "$err" || no "the run after the stall did not get its reply"
}

unplug_mid_write() {
    v -s VXN0008 partition -p p-img-odd -f /data/img-odd.raw
    ended_by_itself
    [ "$rc" != 0 ] || no "a write to a board that went away reported success"
    grep -qF "remote:" "$err" && no "the board refused the write instead of going away"
    ! port_of VXN0008 >/dev/null || no "the board is still on the bus"
}

unplug_mid_upload() {
    v -s VXN0009 upload -p boot -f /tmp/cut -z 0x200000
    ended_by_itself
    [ "$rc" != 0 ] || no "a read from a board that went away reported success"
    ! port_of VXN0009 >/dev/null || no "the board is still on the bus"
    rm -f /tmp/cut
}

six_more_plugged() {
    for s in VXN0005 VXN0006 VXN0007 VXN0008 VXN0009 VXN0010; do
        wait_board $s || no "$s never appeared"
    done
}

# The station while boards are hot-plugged into the running machine. Board 13 comes first and
# stays in its plan's second step (it never answers it), so boards 11 and 12 arrive, burn and
# pass while it burns; then its device is removed in the middle of that step. Checked: the
# plain lines port by port, the report's records, the logs' names, the summary line and status;
# the runner checks what the boards hold.
station_hotplug() {
    d=/tmp/hot
    rm -rf $d
    mkdir -p $d
    size=$(wc -c </data/img-big.raw)
    printf '%s\n' "partition -p p-img-big -f /data/img-big.raw" "expect product qrx-evb" \
        'upload -p p-img-big -f back-${serial}.raw -z '"$size" >$d/h.plan
    # The station takes every board on the bus: the others leave it first.
    for b in 1 2 3 4 5 6 7 8 9 10; do unplug $b; done
    i=0
    while [ $i -lt 600 ] && grep -qx 4f2d /sys/bus/usb/devices/*/idVendor 2>/dev/null; do
        sleep 0.05
        i=$((i + 1))
    done
    [ $i -lt 600 ] || { no "the other boards did not leave the bus"; return 0; }
    : >$d/out
    timeout 240 vorn station -f $d/h.plan -n 3 -r $d/report.jsonl -l $d/logs -T 60 >$d/out 2>$d/err &
    station=$!
    hotplug 13
    wait_line "^[^ ]* VXN0013: step 1/3 .* passed" $d/out || no "board 13 did not pass its first step"
    p13=$(port_of VXN0013)
    hotplug 11
    wait_line "^[^ ]* VXN0011: burning" $d/out || no "board 11 was not taken"
    hotplug 12
    for s in VXN0011 VXN0012; do
        wait_line "^[^ ]* $s: \(passed\|failed\)" $d/out || no "$s did not end its plan"
    done
    p11=$(port_of VXN0011)
    p12=$(port_of VXN0012)
    grep -q "^$p13 VXN0013: \(passed\|failed\)" $d/out && no "board 13 ended before it was removed"
    hotunplug 13
    wait $station
    rc=$?
    say "vorn station -> $rc"
    sed 's/^/   | /' $d/out $d/err $d/report.jsonl
    [ "$rc" = 1 ] || no "the station exited with $rc, expected 1 (a board failed)"
    [ "$(tail -n 1 $d/out)" = "station: 2 passed, 1 failed" ] || no "summary line: $(tail -n 1 $d/out)"
    for s in VXN0011 VXN0012; do
        eval "p=\$p${s#VXN00}"
        steps="$p $s: step 1/3 (partition -p p-img-big -f /data/img-big.raw) passed [T]
$p $s: step 2/3 (expect product qrx-evb) passed [T]
$p $s: step 3/3 (upload -p p-img-big -f $d/back-$s.raw -z $size) passed [T]"
        port_lines "$p" "$p $s: appeared
$p $s: burning
$p $s: in stage TPL
$steps
$p $s: passed [T]"
        cmp -s $d/back-$s.raw /data/img-big.raw || no "$s: the partition read back by the plan differs"
        record "$s" '"result":"passed"' '"failed_step":null' "\"port\":\"$p\""
    done
    # Board 13: failed in its second step because it went, not by the step's time limit.
    grep -v "^$p13 VXN0013: gone$" $d/out >$d/out13
    port_lines "$p13" "$p13 VXN0013: appeared
$p13 VXN0013: burning
$p13 VXN0013: in stage TPL
$p13 VXN0013: step 1/3 (partition -p p-img-big -f /data/img-big.raw) passed [T]
$p13 VXN0013: step 2/3 (expect product qrx-evb) failed: R
$p13 VXN0013: failed at step 2/3 [T]: R" $d/out13
    grep "^$p13 VXN0013: failed at" $d/out | grep -qF "(No such device)" ||
        no "board 13 did not fail for want of its device"
    # Boards 11 and 12 came and went while board 13 burned.
    first=$(grep -n "^$p11 VXN0011: appeared$" $d/out | cut -d: -f1)
    last=$(grep -n "^$p12 VXN0012: passed " $d/out | cut -d: -f1)
    [ "$(grep -n "^$p13 VXN0013: step 1/3 " $d/out | cut -d: -f1)" -lt "${first:-0}" ] &&
        [ "$(grep -n "^$p13 VXN0013: failed at " $d/out | cut -d: -f1)" -gt "${last:-999}" ] ||
        no "boards 11 and 12 did not burn while board 13 did"
    record VXN0013 '"result":"failed"' '"failed_step":2' "\"port\":\"$p13\""
    [ "$(wc -l <$d/report.jsonl)" = 3 ] || no "$(wc -l <$d/report.jsonl) records, expected 3"
    for s in VXN0011 VXN0012 VXN0013; do
        eval "p=\$p${s#VXN00}"
        log=$(ls $d/logs | grep -x "[0-9]\{8\}T[0-9]\{6\}\.[0-9]\{3\}Z_${p}_$s\.log")
        [ -n "$log" ] || { no "no log named by $p and $s"; continue; }
        grep -q '^burn: \(passed\|failed\)' "$d/logs/$log" || no "the log of $s has no end line"
    done
    rm -rf $d
}

# port_lines PORT EXPECTED [FILE]: the station's lines of PORT, times written [T] and the reason of
# a failure R, against the expected lines.
port_lines() {
    grep "^$1 " "${3:-$d/out}" | sed -e 's/\[[0-9]*\.[0-9][0-9][0-9]s\]/[T]/g' \
        -e 's/) failed: .*/) failed: R/' -e 's/\(failed at step [^]]*\]\): .*/\1: R/' >$d/got
    printf '%s\n' "$2" >$d/want
    diff $d/want $d/got >$d/diff || { sed 's/^/   diff | /' $d/diff; no "the station's lines of $1"; }
}

# record SERIAL TEXT...: the report's one record of the board holds each text.
record() {
    s=$1
    shift
    [ "$(grep -c "\"serial\":\"$s\"" $d/report.jsonl)" = 1 ] || { no "not one record of $s"; return 0; }
    for t in "$@"; do
        grep "\"serial\":\"$s\"" $d/report.jsonl | grep -qF "$t" || no "the record of $s lacks $t"
    done
}

# ---- the run --------------------------------------------------------------------------------

scenario devices-four-boards devices_four
# The other boards come while the first four burn.
for b in 5 6 7 8 9 10; do plug $b; done
scenario getvar-text getvar_text
scenario getvar-binary getvar_binary
# Every image in sequential order; in the other orders, the sizes that end inside a portion.
media_board VXN0001 1 img-a128k img-b512 img-odd img-big img-sp1 img-sp2
scenario raw-as-sparse-img-sp1 raw_as_sparse img-sp1
scenario raw-as-sparse-img-sp2 raw_as_sparse img-sp2
scenario burn-plan-board1 burn_plan
media_board VXN0002 2 img-a128k img-odd img-big img-sp1
media_board VXN0003 3 img-odd img-big img-sp1
media_board "$(port_of '')" 4 img-odd img-big img-sp1
scenario six-more-plugged six_more_plugged
scenario parallel-four-by-port parallel_four
scenario bl1-bl2-bl2e-reenumerate boot_stages
scenario never-answers never_answers
scenario claimed-board claimed_board
scenario reply-200 reply_long 200
scenario reply-600 reply_long 600
scenario zlp-before-reply zlp_before_reply
scenario stall-then-next-run stall_and_next
scenario unplug-mid-write unplug_mid_write
scenario unplug-mid-upload unplug_mid_upload
# Last: it takes every other board off the bus.
scenario station-hotplug station_hotplug
echo "RESULT-END $count"
