#!/bin/sh
# What a user installs: the manual pages, the bash completion, the install rules and the Debian
# packages, each checked from the build as a user or a package manager would meet it.
#
# usage: packaging_e2e.sh CASE SOURCE_DIR BUILD_DIR WORKDIR
#   man         every page renders without a warning and has the sections a user looks for
#   completion  the bash completion of vorn: command words, options, types, files, boards
#   install     the udev rule's folder follows the install prefix; a prefix of one's own works
#   deb         cpack makes the two packages; their contents and control data; installed into a
#               scratch root, the installed vorn burns and reads back a partition of a board of
#               the installed vorn-emu
set -u
case=$1
src=$2
build=$3
work=$4/$case
rm -rf "$work"
mkdir -p "$work"
log=$work/log
: >"$log"

fail() {
    echo "FAIL ($case): $*"
    [ -s "$log" ] && { echo "--- log:"; tail -40 "$log"; }
    exit 1
}
# Lines of a listing that must be there, each matched as a whole line.
lists() {
    file=$1
    shift
    for line in "$@"; do grep -qxF -- "$line" "$file" || fail "$file lacks: $line"; done
}
emu_built() { [ -x "$build/tools/emu/vorn-emu" ]; }

case_man() {
    for page in vorn vsimg vorn-emu; do
        f=$src/man/$page.1
        groff -man -Tutf8 -ww -z "$f" 2>"$work/$page.warnings" || fail "groff failed on $page.1"
        [ -s "$work/$page.warnings" ] && { cat "$work/$page.warnings"; fail "$page.1 renders with warnings"; }
        groff -man -Tutf8 "$f" 2>/dev/null | sed 's/.\x08//g' >"$work/$page.txt"
        for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES "SEE ALSO"; do
            grep -qx "$section" "$work/$page.txt" || fail "$page.1 has no $section section"
        done
    done
    t=$work/vorn.txt
    for section in COMMANDS OPTIONS NUMBERS "WAITING FOR A BOARD" FILES TROUBLESHOOTING; do
        grep -qx "$section" "$t" || fail "vorn.1 has no $section section"
    done
    # Every command word of the tool, and the options of the two that take options.
    for word in devices getvar setvar setkey oem cmd download run boot bl1_boot bl2_boot partition \
        upload mwrite mread reboot --version -s -z --partname --filepath --media --imagetype \
        --verify --partoffset --filesize 70-vorn.rules plugdev "in use" "no permission" Ctrl-C; do
        grep -qF -- "$word" "$t" || fail "vorn.1 does not mention $word"
    done
    grep -q "usermod -aG plugdev" "$t" || fail "vorn.1 does not say how to join plugdev"
}

# Completes the words of "$1" (the last one being completed) and prints the candidates.
complete_words() {
    bash -c '. "$1"; read -ra COMP_WORDS <<<"$2"; [[ $2 == *" " ]] && COMP_WORDS+=("");
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _vorn; printf "%s\n" "${COMPREPLY[@]}" | sort' \
        sh "$src/packaging/vorn.bash-completion" "$1"
}
expect_completion() {
    got=$(complete_words "$1" | grep . | tr '\n' ' ')
    [ "$got" = "$2" ] || fail "completing '$1' gave '$got', not '$2'"
}

case_completion() {
    mkdir -p "$work/files/dir"
    : >"$work/files/system.img"
    : >"$work/files/system.sparse.img"
    f=$work/files
    expect_completion "vorn par" "partition "
    expect_completion "vorn --ver" "--version "
    expect_completion "vorn devices " "-l "
    expect_completion "vorn partition -" "-f -m -o -p -t -v "
    expect_completion "vorn upload -p system -" "-f -m -o -p -z "
    expect_completion "vorn partition -p system -m " "key mem store "
    expect_completion "vorn upload -p system --media s" "store "
    expect_completion "vorn partition -p system -t " "normal sparse "
    expect_completion "vorn partition -p system -f $f/sys" "$f/system.img $f/system.sparse.img "
    expect_completion "vorn upload -p system -z 16M -f $f/d" "$f/dir "
    expect_completion "vorn -s 1-2 bl1_boot " "-f "
    expect_completion "vorn bl2_boot -f $f/system.i" "$f/system.img "
    expect_completion "vorn download $f/system.s" "$f/system.sparse.img "
    expect_completion "vorn getvar ident" "identify "
    expect_completion "vorn bu" "burn "
    expect_completion "vorn -s 1-2 burn " "-T -f -r "
    expect_completion "vorn burn -f $f/system.i" "$f/system.img "
    expect_completion "vorn partition -p " ""
    emu_built || return 0
    # The serials and port paths of the boards attached, from the listing.
    PATH=$build/cli:$PATH "$build/tools/emu/vorn-emu" -t 30 -n 2 --board 2 --serial SECOND --port 1-3.2 -- \
        bash -c '. "$1"; COMP_WORDS=(vorn -s ""); COMP_CWORD=2; _vorn; printf "%s\n" "${COMPREPLY[@]}" | sort' \
        sh "$src/packaging/vorn.bash-completion" >"$work/boards" 2>>"$log" || fail "vorn-emu failed"
    [ "$(tr '\n' ' ' <"$work/boards")" = "1-1 1-3.2 SECOND VXN0001 " ] ||
        fail "completing -s gave: $(cat "$work/boards")"
}

# Installs the tool's component with this prefix into a staging folder, and tells where the rule
# went.
staged_rule() {
    rm -rf "$work/stage"
    DESTDIR=$work/stage cmake --install "$build" --prefix "$1" --component vorn >>"$log" 2>&1 ||
        fail "install with prefix $1 failed"
    (cd "$work/stage" && find . -name 70-vorn.rules)
}

case_install() {
    [ "$(staged_rule /usr)" = "./usr/lib/udev/rules.d/70-vorn.rules" ] || fail "prefix /usr: $(staged_rule /usr)"
    [ "$(staged_rule /usr/local)" = "./etc/udev/rules.d/70-vorn.rules" ] ||
        fail "prefix /usr/local: $(staged_rule /usr/local)"
    [ -x "$work/stage/usr/local/bin/vorn" ] || fail "prefix /usr/local: no vorn"
    # A prefix of one's own: everything under it, nothing under /etc, and a word on where the
    # rule would have to go.
    home=$work/home/.local
    before=$(ls /etc/udev/rules.d 2>/dev/null)
    cmake --install "$build" --prefix "$home" >"$work/out" 2>&1 || { cat "$work/out" >>"$log"; fail "install into $home failed"; }
    cat "$work/out" >>"$log"
    [ "$(ls /etc/udev/rules.d 2>/dev/null)" = "$before" ] || fail "an install into $home changed /etc/udev/rules.d"
    for f in bin/vorn bin/vsimg share/man/man1/vorn.1.gz share/man/man1/vsimg.1.gz \
        lib/udev/rules.d/70-vorn.rules share/bash-completion/completions/vorn share/doc/vorn/README.md \
        share/doc/vorn/LICENSE; do
        [ -e "$home/$f" ] || fail "no $f under $home"
    done
    ! emu_built || [ -x "$home/bin/vorn-emu" ] || fail "no vorn-emu under $home"
    grep -q "udev does not read rules from $home/lib/udev/rules.d" "$work/out" || fail "no word on the rule"
    grep -qF "cp $home/lib/udev/rules.d/70-vorn.rules /etc/udev/rules.d/" "$work/out" || fail "no copy line"
    "$home/bin/vorn" --version | grep -q "^source revision: " || fail "the installed vorn has no --version"
}

# The symbol table is gone from a stripped program.
stripped() { ! readelf -S "$1" | grep -q '\.symtab'; }

case_deb() {
    emu_built || { echo "SKIP: built without vorn-emu"; exit 77; }
    (cd "$build" && cpack -G DEB -B "$work/pkg") >>"$log" 2>&1 || fail "cpack failed"
    vorn_deb=$(ls "$work"/pkg/vorn_*.deb 2>/dev/null)
    tools_deb=$(ls "$work"/pkg/vorn-tools_*.deb 2>/dev/null)
    [ -f "$vorn_deb" ] && [ -f "$tools_deb" ] || fail "packages missing: $(ls "$work/pkg")"
    for d in "$vorn_deb" "$tools_deb"; do
        echo "$(basename "$d"): $(stat -c %s "$d") bytes, installed $(dpkg-deb -f "$d" Installed-Size) KiB"
        dpkg-deb -c "$d" | awk '{print $6}' | sed 's:/$::' >"$d.files"
        dpkg-deb -c "$d" | awk '$2 != "root/root" {print "owner " $2 ": " $6}' >"$d.owners"
        [ -s "$d.owners" ] && fail "files not owned by root: $(cat "$d.owners")"
    done
    lists "$vorn_deb.files" ./usr/bin/vorn ./usr/lib/udev/rules.d/70-vorn.rules \
        ./usr/share/man/man1/vorn.1.gz ./usr/share/doc/vorn/README.md ./usr/share/doc/vorn/LICENSE \
        ./usr/share/doc/vorn/copyright ./usr/share/bash-completion/completions/vorn
    lists "$tools_deb.files" ./usr/bin/vorn-emu ./usr/bin/vsimg ./usr/share/man/man1/vorn-emu.1.gz \
        ./usr/share/man/man1/vsimg.1.gz ./usr/share/doc/vorn-tools/copyright
    ! grep -q -e vorn-emu -e vsimg -e '^./etc' "$vorn_deb.files" || fail "vorn carries what is not its own"
    ! grep -qx './usr/bin/vorn' "$tools_deb.files" || fail "vorn-tools carries vorn"

    [ "$(dpkg-deb -f "$vorn_deb" Package)" = vorn ] || fail "package name of $vorn_deb"
    [ "$(dpkg-deb -f "$tools_deb" Package)" = vorn-tools ] || fail "package name of $tools_deb"
    dpkg-deb -f "$vorn_deb" Depends | grep -q 'libusb-1.0-0' || fail "vorn does not depend on libusb"
    tools_depends=$(dpkg-deb -f "$tools_deb" Depends)
    echo "$tools_depends" | grep -qw umockdev || fail "vorn-tools does not depend on umockdev: $tools_depends"
    echo "$tools_depends" | grep -q libumockdev0 || fail "vorn-tools lacks its library dependencies: $tools_depends"
    dpkg-deb -e "$vorn_deb" "$work/control"
    [ -x "$work/control/postinst" ] || fail "vorn has no postinst"
    sh -n "$work/control/postinst" || fail "the postinst does not parse"
    grep -q 'udevadm trigger' "$work/control/postinst" || fail "the postinst does not trigger udev"

    # Installed into a scratch root by dpkg itself; the postinst runs there and leaves udev alone.
    root=$work/root
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
    : >"$root/var/lib/dpkg/status"
    dpkg --root="$root" --force-not-root --force-depends --force-script-chrootless --log=/dev/null \
        -i "$vorn_deb" "$tools_deb" >>"$log" 2>&1 || fail "dpkg -i into $root failed"
    for p in vorn vorn-tools; do
        dpkg --root="$root" -s "$p" 2>/dev/null | grep -qx 'Status: install ok installed' || fail "$p is not installed"
    done
    for b in vorn vsimg vorn-emu; do
        stripped "$root/usr/bin/$b" || fail "$b is not stripped"
        "$root/usr/bin/$b" --version >"$work/$b.version" || fail "$b --version failed"
        sed -n 2p "$work/$b.version" | grep -q '^source revision: .' || fail "$b --version: $(cat "$work/$b.version")"
    done
    zcat "$root/usr/share/man/man1/vorn.1.gz" | groff -man -Tutf8 -ww -z 2>"$work/man.warnings"
    [ -s "$work/man.warnings" ] && fail "the installed vorn(1) renders with warnings"

    # The installed tool against a board of the installed emulator: burn, read back, compare.
    head -c 3000000 /dev/zero | tr '\0' 'v' >"$work/system.img"
    size=$(stat -c %s "$work/system.img")
    PATH=$root/usr/bin:/usr/bin:/bin "$root/usr/bin/vorn-emu" -t 60 --feature media:part=store/system/16M -- \
        sh -c 'vorn devices -l && vorn partition -p system -f "$1" && vorn upload -p system -f "$2" -z "$3"' \
        sh "$work/system.img" "$work/back.img" "$size" >"$work/out" 2>>"$log" || fail "the installed vorn failed"
    [ "$(cat "$work/out")" = "$(printf 'VXN0001\tQrx_VXN\t1-1\tusable')" ] || fail "listing: $(cat "$work/out")"
    cmp -s "$work/system.img" "$work/back.img" || fail "the partition read back differs"
    grep -q '^\[100%/' "$log" || fail "no progress line at 100 %"
}

case "$case" in
    man) case_man ;;
    completion) case_completion ;;
    install) case_install ;;
    deb) case_deb ;;
    *) fail "unknown case" ;;
esac
echo "PASS ($case)"
