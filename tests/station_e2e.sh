#!/bin/sh
# The station end to end: the real vorn binary watches an emulated USB bus and runs a plan on
# every board, one burn process each.
#
# usage: station_e2e.sh CASE VORN_EMU VORN WORKDIR
#   count   8 boards, -j 4 -n 7: one in BL1 going through BL2 and BL2E, one failing in the middle
#           of its partition, one unplugged during its partition, one plugged in a second after
#           the start, one held by another program; the plain lines port by port, the report
#           (every record read by a JSON reader) and the logs
#   once    the same boards with --once: the late board and the held one are not burned
#   again   a board that reboots at the end of its plan: shown as back, not burned again; with
#           -a burned again, until -n
#   table   the table under a pseudo-terminal of 80 columns: its rows and counts
#   stop    SIGTERM while boards burn: their burns are stopped and recorded as aborted
here=$(cd "$(dirname "$0")" && pwd)
default_seed=20261209
. "$here/e2e_common.sh"
mkdir -p "$work/plan"

p=$work/plan
gen 40961 1 >"$p/bl.bin"
gen 1048576 2 >"$p/system.img"
cat >"$p/board.plan" <<'PLAN'
# every board, whatever stage it arrives in
[BL1] bl1_boot -f bl.bin
[BL2] bl2_boot -f bl.bin
partition -p system -f system.img
getvar identify
PLAN
report=$work/report.jsonl
out=$work/out

fail() {
    echo "FAIL ($case): $*"
    echo "(test data seed $seed)"
    echo "--- the station said:"
    cat "$out"
    echo "--- standard error:"
    cat "$work/err"
    [ -f "$report" ] && { echo "--- report:"; cat "$report"; }
    exit 1
}

# The 8 boards. 1: in BL1, restarting into BL2 and BL2E with another serial; 2: its partition
# write fails half-way; 3: unplugged after 300000 bytes; 4: plugged in a second after the start;
# 5: held by another program; 6 to 8: plain.
boot="boot:file=$p/bl.bin,download-size=0x8000,serial-after-restart=VXNE01,stage=bl1"
eight() {
    set -- -n 8
    for i in 1 3 4 5 6 7 8; do set -- "$@" --board $i --feature media:part=store/system/2M; done
    set -- "$@" --board 1 --identify 0601000000000000 --feature "$boot"
    set -- "$@" --board 2 --feature media:part=store/system/2M,fail-write-at=524288
    set -- "$@" --board 3 --vanish-after 300000 --board 4 --plug-after 1000 --board 5 --claimed
    printf "%s " "$@"
}

# vorn-emu running the station; its exit status.
run() {
    watchdog=$1
    shift
    (cd "$work" && "$emu" -t "$watchdog" "$@" >"$out" 2>"$work/err")
    echo $?
}

# The plain lines of one port, times written [T], against the expected lines.
port_lines() {
    grep "^$1 " "$out" | sed 's/\[[0-9]*\.[0-9][0-9][0-9]s\]/[T]/g' >"$work/got.$1"
    printf '%s\n' "$2" >"$work/want.$1"
    diff "$work/want.$1" "$work/got.$1" >"$work/diff.$1" || { cat "$work/diff.$1"; fail "the lines of $1"; }
}

# The lines every passing board of the plan gives, after its start and stage line.
passed_steps() {
    printf '%s\n' "$1: step 1/4 (bl1_boot -f $p/bl.bin) skipped (board in TPL)" \
        "$1: step 2/4 (bl2_boot -f $p/bl.bin) skipped (board in TPL)" \
        "$1: step 3/4 (partition -p system -f $p/system.img) passed [T]" \
        "$1: step 4/4 (getvar identify) passed [T]" "$1: passed [T]"
}
plain_board() {
    printf '%s\n' "$1: appeared" "$1: burning" "$1: in stage TPL"
    passed_steps "$1"
}

# Every record of the report, read by Python's JSON reader, checked against `want` (Python).
check_report() {
    python3 - "$report" "$1" "$(sha256sum <"$p/system.img" | cut -d' ' -f1)" "$p/${2:-board.plan}" <<'PY' || fail "the report"
import json, sys
path, want, sha, plan = sys.argv[1:]
records = [json.loads(line) for line in open(path)]
by_port = {}
for r in records:
    assert r["plan"] == plan, r
    assert r["vorn"].startswith("2.6.3 "), r
    assert r["started"].endswith("Z") and r["started"][10] == "T", r
    assert r["seconds"] > 0, r
    by_port.setdefault(r["port"], []).append(r)
    if r["result"] == "passed":
        assert r["failed_step"] is None, r
        assert [s["result"] for s in r["steps"]][2:] == ["passed", "passed"], r
        assert r["steps"][2]["files"][0]["sha256"] == sha, r
        assert r["steps"][2]["files"][0]["size"] == 1048576, r
want = eval(want)
got = {port: [(r["serial"], r["result"], r["failed_step"]) for r in rs] for port, rs in by_port.items()}
if got != want:
    print("report:", got, "\nexpected:", want)
    sys.exit(1)
PY
}

check_logs() {
    n=$(ls "$work/logs" | wc -l)
    [ "$n" = "$1" ] || fail "$n log files, expected $1"
    for f in "$work/logs"/*; do
        name=$(basename "$f")
        echo "$name" | grep -qx '[0-9]\{8\}T[0-9]\{6\}\.[0-9]\{3\}Z_1-[0-9]_VXN000[0-9]\.log' || fail "log name $name"
        grep -q '^burn: \(passed\|failed\)' "$f" || fail "log $name has no end line"
    done
}

case $case in
count)
    rc=$(run 120 $(eight) -- vorn station -f "$p/board.plan" -j 4 -n 7 -r "$report" -l "$work/logs" -T 20)
    [ "$rc" = 1 ] || fail "exit status $rc, expected 1 (boards failed)"
    [ "$(tail -n 1 "$out")" = "station: 5 passed, 2 failed" ] || fail "summary line"
    port_lines 1-1 "$(printf '%s\n' "1-1 VXN0001: appeared" "1-1 VXN0001: burning" "1-1 VXN0001: in stage BL1" \
        "1-1 VXNE01: in stage BL2" "1-1 VXNE01: step 1/4 (bl1_boot -f $p/bl.bin) passed [T]" \
        "1-1 VXNE01: in stage BL2E" "1-1 VXNE01: step 2/4 (bl2_boot -f $p/bl.bin) passed [T]" \
        "1-1 VXNE01: step 3/4 (partition -p system -f $p/system.img) passed [T]" \
        "1-1 VXNE01: step 4/4 (getvar identify) passed [T]" "1-1 VXNE01: passed [T]")"
    port_lines 1-2 "$(printf '%s\n' "1-2 VXN0002: appeared" "1-2 VXN0002: burning" "1-2 VXN0002: in stage TPL" \
        "1-2 VXN0002: step 1/4 (bl1_boot -f $p/bl.bin) skipped (board in TPL)" \
        "1-2 VXN0002: step 2/4 (bl2_boot -f $p/bl.bin) skipped (board in TPL)" \
        "1-2 VXN0002: step 3/4 (partition -p system -f $p/system.img) failed: remote: medium write error" \
        "1-2 VXN0002: failed at step 3/4 [T]: remote: medium write error")"
    grep -q "^1-3 VXN0003: failed at step 3/4 \[.*\]: ." "$out" || fail "board 3 not failed at its partition"
    ! grep -q "^1-3 VXN0003: step 4/4" "$out" || fail "board 3 went on after it was unplugged"
    for i in 4 6 7 8; do port_lines 1-$i "$(plain_board 1-$i\ VXN000$i)"; done
    port_lines 1-5 "1-5 VXN0005: busy: in use by another program"
    check_report "{'1-1': [('VXN0001', 'passed', None)], '1-2': [('VXN0002', 'failed', 3)],
        '1-3': [('VXN0003', 'failed', 3)], '1-4': [('VXN0004', 'passed', None)],
        '1-6': [('VXN0006', 'passed', None)], '1-7': [('VXN0007', 'passed', None)],
        '1-8': [('VXN0008', 'passed', None)]}"
    check_logs 7
    ;;
once)
    rc=$(run 120 $(eight) -- vorn station -f "$p/board.plan" --once -r "$report")
    [ "$rc" = 1 ] || fail "exit status $rc, expected 1 (boards failed)"
    [ "$(tail -n 1 "$out")" = "station: 4 passed, 2 failed" ] || fail "summary line"
    ! grep -q "^1-4 " "$out" || fail "the board plugged in later was taken"
    port_lines 1-5 "1-5 VXN0005: busy: in use by another program"
    check_report "{'1-1': [('VXN0001', 'passed', None)], '1-2': [('VXN0002', 'failed', 3)],
        '1-3': [('VXN0003', 'failed', 3)], '1-6': [('VXN0006', 'passed', None)],
        '1-7': [('VXN0007', 'passed', None)], '1-8': [('VXN0008', 'passed', None)]}"
    ;;
again)
    printf '%s\n' "getvar identify" "reboot" >"$p/reboot.plan"
    # The board's reboot takes it into BL2: a second off the bus (the station looks five times a
    # second), then back on it with the same serial.
    back="boot:file=$p/bl.bin,reboot-to=bl2 --reenumerate-delay 1000"
    steps() {
        printf '%s\n' "1-1 VXN0001: burning" "1-1 VXN0001: in stage $1" \
            "1-1 VXN0001: step 1/2 (getvar identify) passed [T]" "1-1 VXN0001: step 2/2 (reboot) passed [T]" \
            "1-1 VXN0001: passed [T]"
    }
    # Without -a: back after its reboot and left alone; the next board (plugged in later) ends it.
    rc=$(run 60 -n 2 --feature $back --board 2 --plug-after 4000 -- vorn station -f "$p/reboot.plan" -n 2)
    [ "$rc" = 0 ] || fail "exit status $rc"
    port_lines 1-1 "$(printf '%s\n' "1-1 VXN0001: appeared" "$(steps TPL)" "1-1 VXN0001: gone" \
        "1-1 VXN0001: back, not burned again")"
    grep -qx "1-2 VXN0002: passed \[.*\]" "$out" || fail "the second board was not burned"
    [ "$(tail -n 1 "$out")" = "station: 2 passed, 0 failed" ] || fail "summary line"
    # With -a: burned at each return, three times.
    rc=$(run 60 --feature $back -- vorn station -f "$p/reboot.plan" -a -n 3)
    [ "$rc" = 0 ] || fail "exit status $rc with -a"
    # The third board's leaving may or may not be seen before the station ends: it is not asked for.
    awk -v last="$(grep -n '^1-1 ' "$out" | tail -n 1 | cut -d: -f1)" \
        'NR != last || $0 != "1-1 VXN0001: gone"' "$out" >"$out.kept" && mv "$out.kept" "$out"
    port_lines 1-1 "$(printf '%s\n' "1-1 VXN0001: appeared" "$(steps TPL)" "1-1 VXN0001: gone" \
        "1-1 VXN0001: appeared" "$(steps BL2)" "1-1 VXN0001: gone" "1-1 VXN0001: appeared" "$(steps BL2)")"
    [ "$(tail -n 1 "$out")" = "station: 3 passed, 0 failed" ] || fail "summary line with -a"
    ;;
table)
    # A slow link, so that the table shows transfers under way.
    gen 6291456 3 >"$p/big.img"
    printf '%s\n' "partition -p system -f big.img" >"$p/big.plan"
    rc=$(run 120 -n 3 --link-rate 3 --feature media:part=store/system/8M --board 3 --claimed -- \
        python3 "$here/station_pty.py" "$work/screen" vorn station -f "$p/big.plan" --once)
    [ "$rc" = 0 ] || fail "exit status $rc"
    cp "$work/screen.final" "$out"
    awk 'length($0) > 79 { exit 1 }' "$work/screen.frames" || fail "a line wider than 79 columns"
    sed 's/[0-9.]*s passed$/Ts passed/' "$work/screen.final" >"$work/got"
    cat >"$work/want" <<TABLE
burning 0  waiting 0  passed 2  failed 0  busy 1  0.0 MB/s
PORT      SERIAL         STAGE STEP                      RATE    TIME STATE
1-1       VXN0001        TPL   1/1 partition                     Ts passed
1-2       VXN0002        TPL   1/1 partition                     Ts passed
1-3       VXN0003              in use by another program              busy
station: 2 passed, 0 failed
TABLE
    diff "$work/want" "$work/got" || fail "the last table"
    # While both burned: a drawing with both rows under way, each with its percent and rate, and
    # the counts with the rate of both.
    grep -q '^burning 2  waiting 0  passed 0  failed 0  busy 1  [1-9][0-9.]* MB/s$' "$work/screen.frames" ||
        fail "no counts line of two burning boards"
    grep -q '^1-2       VXN0002        TPL   1/1 partition  *[1-9][0-9]*%  *[0-9.]*MB/s  *[0-9.]*s burning$' \
        "$work/screen.frames" || fail "no row of a transfer under way"
    ;;
stop)
    gen 6291456 3 >"$p/big.img"
    printf '%s\n' "partition -p system -f big.img" >"$p/big.plan"
    # The station gets SIGTERM once both burns are under way; the burns are asked to stop.
    rc=$(run 60 -n 2 --link-rate 1 --feature media:part=store/system/8M -- sh -c \
        "vorn station -f '$p/big.plan' -r '$report' & s=\$!; sleep 3; kill -TERM \$s; wait \$s")
    [ "$rc" = 0 ] || fail "exit status $rc, expected 0 (none failed)"
    [ "$(tail -n 1 "$out")" = "station: 0 passed, 0 failed, 2 aborted" ] || fail "summary line"
    grep -qx "1-1 VXN0001: aborted at step 1/1 \[.*\]" "$out" || fail "board 1 not aborted"
    check_report "{'1-1': [('VXN0001', 'aborted', 1)], '1-2': [('VXN0002', 'aborted', 1)]}" big.plan
    ;;
*)
    fail "unknown case"
    ;;
esac
echo "ok ($case)"
