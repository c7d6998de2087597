#!/bin/sh
# Burn plans end to end: the real vorn binary runs a plan on an emulated board on an emulated USB
# bus that restarts (and re-enumerates, with a serial number of its later stages) between its
# boot stages.
#
# usage: burn_e2e.sh CASE VORN_EMU VORN WORKDIR
#   bl1        a board in BL1: BL1, BL2, BL2E, a partition, its own key (${serial}), a reboot;
#              the record checked field by field and by a JSON reader
#   bl2        the same plan on a board already in BL2: the BL1 step is skipped
#   expect     "expect" refuses the wrong board: nothing is written to it
#   middle     a failing partition step ends the plan; the key and the reboot are not sent
#   changed    a file that changed size since the check fails its step and is not sent
#   checked    a plan with faults is refused at once, every fault named, without a board
#   limit      a board that never comes back: the step fails at its time limit (-T)
#   aborted    SIGTERM while the board is awaited: the record says "aborted", status 1
#   readback   a hang-up in the middle of reading a partition back: the record says "aborted",
#              and neither the output nor its temporary file is left
here=$(cd "$(dirname "$0")" && pwd)
default_seed=20261209
. "$here/e2e_common.sh"
mkdir -p "$work/plan/keys"

p=$work/plan
gen 40961 1 >"$p/bl.bin"
gen 65536 2 >"$p/system.img"
gen 16 3 >"$p/keys/VXN0001.bin"
gen 16 4 >"$p/keys/VXN0002.bin"
# Relative paths are taken from the plan's folder, not from where vorn runs.
cat >"$p/board.plan" <<'PLAN'
# bring-up of one board
[BL1] bl1_boot -f bl.bin
[BL2] bl2_boot -f bl.bin
partition -p system -f system.img
setkey keys/${serial}.bin
reboot
PLAN
state=$work/state/board1
report=$work/report.jsonl

fail() {
    echo "FAIL ($case): $*"
    echo "(test data seed $seed)"
    echo "--- vorn and vorn-emu said:"
    cat "$work/err"
    [ -f "$report" ] && { echo "--- report:"; cat "$report"; }
    exit 1
}

# vorn-emu with the board options, running the burn from another folder.
run() {
    watchdog=$1
    shift
    (cd "$work" && "$emu" -t "$watchdog" -o "$work/state" "$@" >"$work/out" 2>"$work/err")
    echo $?
}
burn_args="burn -f $p/board.plan -r $report -T 10"
boot="boot:file=$p/bl.bin,download-size=0x8000,serial-after-restart=VXNE01"
media="media:part=store/system/1M"

# Fields of the report's last record as Python's JSON reader gives them: each want_field is
# collected, and check_fields reads the report once and compares them all.
want_field() { printf '%s\t%s\n' "$1" "$2" >>"$work/fields"; }
check_fields() {
    [ -f "$work/fields" ] || return 0
    python3 - "$report" "$work/fields" >"$work/fields.out" 2>&1 <<'PY' || fail "report: $(cat "$work/fields.out")"
import json, sys
r = [json.loads(l) for l in open(sys.argv[1])][-1]
bad = 0
for line in open(sys.argv[2]):
    expr, want = line.rstrip("\n").split("\t", 1)
    got = str(eval(expr))
    if got != want:
        print(f"{expr} = {got}, expected {want}")
        bad = 1
sys.exit(bad)
PY
}
sha() { sha256sum "$1" | cut -d' ' -f1; }

case $case in
bl1)
    rc=$(run 60 --identify 0601000000000000 --feature "$boot,stage=bl1" --feature "$media" -- vorn $burn_args)
    [ "$rc" = 0 ] || fail "exit status $rc"
    has_line "board at 1-1: serial VXN0001, stage BL1"
    has_line "step 1/5 (bl1_boot -f $p/bl.bin)"
    has_match "step 1/5 (bl1_boot -f $p/bl.bin) passed \[[0-9]*\.[0-9][0-9][0-9]s\]"
    has_line "board at 1-1: serial VXNE01, stage BL2"
    has_line "board at 1-1: serial VXNE01, stage BL2E"
    has_match "step 4/5 (setkey $p/keys/VXN0001.bin) passed \[.*\]"
    has_match "step 5/5 (reboot) passed \[.*\]"
    has_match "burn: passed \[[0-9]*\.[0-9][0-9][0-9]s\]"
    lacks "ERR[VXN]"
    [ "$(head -c 65536 "$state/media/store/system.bin" | sha256sum)" = "$(sha256sum <"$p/system.img")" ] ||
        fail "the partition does not hold the image"
    cmp "$p/keys/VXN0001.bin" "$state/keys/1.bin" || fail "the board did not get its own key"
    grep -qx "reboot=reboot" "$state/state.txt" || fail "no reboot"
    [ "$(wc -l <"$report")" = 1 ] || fail "not one record in the report"
    want_field 'r["plan"]' "$p/board.plan"
    want_field 'r["port"]' "1-1"
    want_field 'r["serial"]' "VXN0001"
    want_field 'r["stage"]' "BL1"
    want_field 'r["result"]' "passed"
    want_field 'r["failed_step"]' "None"
    want_field 'r["vorn"].startswith("2.6.3 ")' "True"
    want_field 'r["started"].endswith("Z") and r["started"][10] == "T"' "True"
    want_field 'r["seconds"] > 0' "True"
    want_field '[s["result"] for s in r["steps"]]' "['passed', 'passed', 'passed', 'passed', 'passed']"
    want_field '[s["line"] for s in r["steps"]]' "[2, 3, 4, 5, 6]"
    want_field 'r["steps"][3]["words"]' "['setkey', '$p/keys/VXN0001.bin']"
    want_field 'r["steps"][0]["files"][0]["sha256"]' "$(sha "$p/bl.bin")"
    want_field 'r["steps"][0]["files"][0]["size"]' 40961
    want_field 'r["steps"][2]["files"][0]["sha256"]' "$(sha "$p/system.img")"
    want_field 'r["steps"][2]["files"][0]["path"]' "$p/system.img"
    want_field 'r["steps"][3]["files"][0]["sha256"]' "$(sha "$p/keys/VXN0001.bin")"
    want_field 'r["steps"][4]["files"]' "[]"
    ;;
bl2)
    # The second board of two, picked by its port; it arrives in BL2 with its own serial.
    rc=$(run 60 -n 2 --identify 0601000800000000 --feature "$boot,stage=bl2" --feature "$media" \
        -- vorn -s 1-2 $burn_args)
    [ "$rc" = 0 ] || fail "exit status $rc"
    has_line "board at 1-2: serial VXN0002, stage BL2"
    has_line "step 1/5 (bl1_boot -f $p/bl.bin) skipped (board in BL2)"
    lacks "step 1/5 (bl1_boot -f $p/bl.bin) passed"
    has_match "step 4/5 (setkey $p/keys/VXN0002.bin) passed \[.*\]"
    has_match "burn: passed \[.*\]"
    cmp "$p/keys/VXN0002.bin" "$work/state/board2/keys/1.bin" || fail "the board did not get its own key"
    [ ! -e "$state/keys/1.bin" ] || fail "the other board got a key"
    want_field '[s["result"] for s in r["steps"]]' "['skipped', 'passed', 'passed', 'passed', 'passed']"
    want_field 'r["steps"][0]["files"]' "[]"
    ;;
expect)
    { echo 'expect product "VXN board"'; cat "$p/board.plan"; } >"$p/expect.plan"
    rc=$(run 60 --var "product=other board" --identify 0601000000000000 --feature "$boot,stage=bl1" \
        --feature "$media" -- vorn burn -f "$p/expect.plan" -r "$report")
    [ "$rc" = 1 ] || fail "exit status $rc"
    has_line "step 1/6 (expect product VXN board) failed: the board gives product \"other board\", the plan expects \"VXN board\""
    has_match "burn: failed at step 1/6 \[.*\]"
    lacks "step 2/6"
    [ "$(grep -cv '^getvar:' "$state/commands.txt")" = 0 ] || fail "more than questions were sent"
    [ -z "$(ls "$state/keys")" ] || fail "a key was written"
    want_field 'r["result"]' "failed"
    want_field 'r["failed_step"]' 1
    want_field '[s["result"] for s in r["steps"]]' "['failed', '', '', '', '', '']"
    ;;
middle)
    rc=$(run 60 --fail "oem mwrite=no room" --identify 0601000000000000 --feature "$boot,stage=bl1" \
        --feature "$media" -- vorn $burn_args)
    [ "$rc" = 1 ] || fail "exit status $rc"
    has_line "step 3/5 (partition -p system -f $p/system.img) failed: remote: no room"
    has_match "burn: failed at step 3/5 \[.*\]"
    lacks "step 4/5"
    lacks "step 5/5"
    [ -z "$(ls "$state/keys")" ] || fail "the key was sent after the failure"
    ! grep -q "^reboot" "$state/commands.txt" || fail "the reboot was sent after the failure"
    want_field 'r["failed_step"]' 3
    want_field 'r["reason"]' "remote: no room"
    want_field '[s["result"] for s in r["steps"]]' "['passed', 'passed', 'failed', '', '']"
    ;;
changed)
    # The read-back of step 2 replaces the image that step 3 sends.
    printf 'partition -p system -f system.img\nupload -p system -f system.img -z 4K\npartition -p system -f system.img\n' \
        >"$p/changed.plan"
    rc=$(run 60 --feature "$media" -- vorn burn -f "$p/changed.plan" -r "$report")
    [ "$rc" = 1 ] || fail "exit status $rc"
    has_line "step 3/3 (partition -p system -f $p/system.img) failed: $p/system.img changed size since the plan was checked (65536 bytes, now 4096)"
    [ "$(grep -c '^oem mwrite' "$state/commands.txt")" = 1 ] || fail "the changed file was sent"
    want_field 'r["steps"][2]["files"]' "[]"
    want_field '[s["result"] for s in r["steps"]]' "['passed', 'passed', 'failed']"
    ;;
checked)
    printf 'partition -p system -f missing.img\nflash x\nsetkey keys/${serial}.bin\noem "open\n' >"$p/bad.plan"
    # No board at all: the refusal comes at once (the time limit would end a wait).
    timeout 20 vorn burn -f "$p/bad.plan" -r "$report" >"$work/out" 2>"$work/err"
    rc=$?
    [ "$rc" = 1 ] || fail "exit status $rc"
    has_line "$p/bad.plan:1: Fail in open file $p/missing.img; $p/missing.img: No such file or directory; fail in queue partition"
    has_line "$p/bad.plan:2: unknown command word \"flash\""
    has_line "$p/bad.plan:4: missing closing quote"
    lacks "waiting for"
    [ ! -e "$report" ] || fail "a report was made for a refused plan"
    timeout 20 vorn burn -f "$p/board.plan" -r "$work/no/such/folder/r.jsonl" >"$work/out" 2>"$work/err"
    rc=$?
    [ "$rc" = 1 ] || fail "exit status $rc for a report that cannot be written"
    has_line "ERR[VXN]cannot write the report $work/no/such/folder/r.jsonl: No such file or directory"
    ;;
limit)
    rc=$(run 60 --identify 0601000000000000 --feature "$boot,stage=bl1,no-return" --feature "$media" \
        -- vorn burn -f "$p/board.plan" -r "$report" -T 2)
    [ "$rc" = 1 ] || fail "exit status $rc"
    has_match "step 1/5 (bl1_boot -f $p/bl.bin) failed: no progress for [0-9]*s (limit -T 2) while waiting for the board at 1-1 to come back"
    has_match "burn: failed at step 1/5 \[.*\]"
    want_field 'r["result"]' "failed"
    want_field 'r["failed_step"]' 1
    ;;
aborted)
    rc=$(run 60 --identify 0601000000000000 --feature "$boot,stage=bl1,no-return" --feature "$media" \
        -- sh -c 'vorn "$@" & v=$!; while ! grep -q "waiting for" "$0"; do sleep 0.1; done; kill -TERM $v; wait $v' \
        "$work/err" burn -f "$p/board.plan" -r "$report" -T 0)
    [ "$rc" = 1 ] || fail "exit status $rc"
    has_line "step 1/5 (bl1_boot -f $p/bl.bin) failed: aborted by signal 15"
    has_match "burn: aborted at step 1/5 \[.*\]"
    want_field 'r["result"]' "aborted"
    want_field 'r["failed_step"]' 1
    ;;
readback)
    printf 'upload -p system -f back.bin -z 256M\n' >"$p/readback.plan"
    rc=$(run 120 --feature "media:part=store/system/256M" \
        -- sh -c 'd=$1; shift; vorn "$@" & v=$!
            while kill -0 $v && ! find "$d" -name ".back.bin.part-*" -size +0 | grep -q .; do sleep 0.1; done
            kill -HUP $v; wait $v' "$work/err" "$p" burn -f "$p/readback.plan" -r "$report" -T 0)
    [ "$rc" = 1 ] || fail "exit status $rc"
    has_line "step 1/1 (upload -p system -f $p/back.bin -z 256M) failed: aborted by signal 1"
    has_match "burn: aborted at step 1/1 \[.*\]"
    [ -z "$(find "$p" -name "*back.bin*")" ] || fail "left behind: $(find "$p" -name "*back.bin*")"
    want_field 'r["result"]' "aborted"
    want_field 'r["steps"][0]["reason"]' "aborted by signal 1"
    ;;
*)
    echo "unknown case $case"
    exit 2
    ;;
esac
check_fields
echo "ok ($case)"
