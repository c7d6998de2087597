#!/bin/sh
# What a user installs: the manual pages, the bash completion, the install rules and the Debian
# packages, each checked from the build as a user or a package manager would meet it.
#
# usage: packaging_e2e.sh CASE SOURCE_DIR BUILD_DIR WORKDIR
#   man         every page renders without a warning and has the sections a user looks for
#   completion  the bash completion of vorn and vsimg: command words, short and long options,
#               types, files, boards
#   install     the udev rule's folder follows the install prefix; a prefix of one's own works
#   deb         cpack makes the two packages; their contents and control data; installed into a
#               scratch root, the installed vorn burns and reads back a partition of a board of
#               the installed vorn-emu
#   lintian     lintian --pedantic on both packages reports nothing but the explained overrides
#               (skipped where lintian is not installed)
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

# The page as man shows it, too wide to wrap anything: man's own warnings must be none, every
# command form of the synopsis must be an entry's whole tag (a tag spread over several source
# lines keeps only its first line and pushes the rest into the entry's text), and no tag or
# line leaves a bracket open.
man_tags() {
    command -v man >/dev/null 2>&1 || return 0
    wide=$work/$2.wide
    LC_ALL=C.UTF-8 MANWIDTH=250 man --warnings -l "$1" 2>"$work/$2.man-warnings" | col -bx >"$wide"
    [ -s "$work/$2.man-warnings" ] && { cat "$work/$2.man-warnings"; fail "man --warnings on $2.1 warns"; }
    grep -q '^SYNOPSIS' "$wide" || fail "man did not render $2.1"
    sed 's/^ *//' "$wide" >"$wide.trimmed"
    sed -n '/^SYNOPSIS/,/^[A-Z]/p' "$wide" | sed -n "s/^ *$2 \([a-z_]\)/\1/p" | while IFS= read -r form; do
        grep -qxF -- "$form" "$wide.trimmed" || fail "$2.1: no entry whose tag is '$form'"
    done || exit 1
    awk '{ line = $0; o = gsub(/\[/, "", line); c = gsub(/\]/, "", line); if (o != c) print }' "$wide" >"$wide.open"
    [ -s "$wide.open" ] && fail "$2.1 renders lines with a bracket left open: $(cat "$wide.open")"
    return 0
}

case_man() {
    for page in vorn vsimg vorn-emu; do
        f=$src/man/$page.1
        groff -man -Tutf8 -ww -z "$f" 2>"$work/$page.warnings" || fail "groff failed on $page.1"
        [ -s "$work/$page.warnings" ] && { cat "$work/$page.warnings"; fail "$page.1 renders with warnings"; }
        groff -man -Tutf8 "$f" 2>/dev/null | sed 's/.\x08//g' >"$work/$page.txt"
        for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES "SEE ALSO"; do
            grep -qx "$section" "$work/$page.txt" || fail "$page.1 has no $section section"
        done
        man_tags "$f" "$page"
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

# Completes the words of "$1" (the last one being completed; the first names the program) and
# prints the candidates.
complete_words() {
    prog=${1%% *}
    bash -c '. "$1"; read -ra COMP_WORDS <<<"$2"; [[ $2 == *" " ]] && COMP_WORDS+=("");
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _$3; printf "%s\n" "${COMPREPLY[@]}" | sort' \
        sh "$src/packaging/$prog.bash-completion" "$1" "$prog"
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
    # Long options once "--" is typed, with their values also after "=" (which bash splits off).
    expect_completion "vorn partition --" "--filepath --help --imagetype --media --partname --partoffset --verify "
    expect_completion "vorn -s 1-2 upload --f" "--filepath --filesize "
    expect_completion "vorn partition -p system --imagetype " "normal sparse "
    expect_completion "vorn partition -p system --media = s" "store "
    expect_completion "vorn partition -p system --media =" "key mem store "
    expect_completion "vorn upload --filepath $f/sys" "$f/system.img $f/system.sparse.img "
    expect_completion "vorn getvar --" "--help "
    # Burn plans and the station.
    expect_completion "vorn b" "bl1_boot bl2_boot boot burn "
    expect_completion "vorn burn -" "-T -f -r "
    expect_completion "vorn burn -f $f/system.i" "$f/system.img "
    expect_completion "vorn burn -f plan -T " ""
    expect_completion "vorn station -" "-T -a -f -j -l -n -r "
    expect_completion "vorn station --" "--help --once "
    expect_completion "vorn station -j 4 -l $f/" "$f/dir "
    expect_completion "vorn station -r $f/d" "$f/dir "
    # vsimg: command words, options before the images, files where images go.
    expect_completion "vsimg " "--help --version -h info resparse toraw tosparse "
    expect_completion "vsimg --" "--help --version "
    expect_completion "vsimg tosparse -" "-b -c "
    expect_completion "vsimg tosparse -b " ""
    expect_completion "vsimg tosparse -b 4k -c $f/system.i" "$f/system.img "
    expect_completion "vsimg tosparse $f/system.img $f/system.s" "$f/system.sparse.img "
    expect_completion "vsimg tosparse $f/system.img -" ""
    expect_completion "vsimg toraw -" "-c "
    expect_completion "vsimg toraw -c $f/system.sparse.img $f/system.img $f/" ""
    expect_completion "vsimg info $f/system.s" "$f/system.sparse.img "
    expect_completion "vsimg info -" ""
    expect_completion "vsimg resparse $f/system.sparse.img " ""
    expect_completion "vsimg resparse $f/system.sparse.img 64M $f/sys" "$f/system.img $f/system.sparse.img "
    expect_completion "vsimg nope " ""
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
        lib/udev/rules.d/70-vorn.rules share/bash-completion/completions/vorn \
        share/bash-completion/completions/vsimg share/doc/vorn/README.md \
        share/doc/vorn/copyright share/doc/vorn/changelog.gz; do
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
        ./usr/share/man/man1/vorn.1.gz ./usr/share/doc/vorn/README.md ./usr/share/doc/vorn/changelog.gz \
        ./usr/share/doc/vorn/copyright ./usr/share/bash-completion/completions/vorn \
        ./usr/share/lintian/overrides/vorn
    lists "$tools_deb.files" ./usr/bin/vorn-emu ./usr/bin/vsimg ./usr/share/man/man1/vorn-emu.1.gz \
        ./usr/share/man/man1/vsimg.1.gz ./usr/share/doc/vorn-tools/copyright \
        ./usr/share/doc/vorn-tools/changelog.gz ./usr/share/bash-completion/completions/vsimg
    ! grep -q LICENSE "$vorn_deb.files" || fail "vorn carries a licence file beside its copyright"
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
        ! readelf -S "$root/usr/bin/$b" | grep -qw '\.comment' || fail "$b keeps its .comment section"
        "$root/usr/bin/$b" --version >"$work/$b.version" || fail "$b --version failed"
        sed -n 2p "$work/$b.version" | grep -q '^source revision: .' || fail "$b --version: $(cat "$work/$b.version")"
    done
    zcat "$root/usr/share/man/man1/vorn.1.gz" | groff -man -Tutf8 -ww -z 2>"$work/man.warnings"
    [ -s "$work/man.warnings" ] && fail "the installed vorn(1) renders with warnings"
    # The README of the package is the users' one: what vorn does, installing, the quick start and
    # troubleshooting, nothing about the sources, build trees or test beds.
    readme=$root/usr/share/doc/vorn/README.md
    for heading in "# vorn" "## Install" "## Quick start on the emulated board" "## Troubleshooting"; do
        grep -qxF "$heading" "$readme" || fail "the packaged README has no '$heading'"
    done
    ! grep -n -e 'source only' -e 'scripts/' -e 'build/' -e 'wine' -e 'kernel' -e 'DEVELOPING' "$readme" >"$work/readme.dev" ||
        fail "the packaged README has developer material: $(cat "$work/readme.dev")"
    [ "$(stat -c %s "$readme")" -lt 16000 ] || fail "the packaged README is $(stat -c %s "$readme") bytes"
    zcat "$root/usr/share/doc/vorn/changelog.gz" | head -1 | grep -q "^vorn ($(dpkg-deb -f "$vorn_deb" Version)) " ||
        fail "the changelog's newest entry is not the package's version"

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

# Both packages, as lintian sees them at the pedantic level: nothing but the overrides that the
# package carries, each with its reason beside it.
case_lintian() {
    emu_built || { echo "SKIP: built without vorn-emu"; exit 77; }
    command -v lintian >/dev/null 2>&1 || { echo "SKIP: lintian is not installed"; exit 77; }
    (cd "$build" && cpack -G DEB -B "$work/pkg") >>"$log" 2>&1 || fail "cpack failed"
    debs=$(ls "$work"/pkg/*.deb)
    [ "$(echo "$debs" | wc -l)" = 2 ] || fail "packages: $debs"
    lintian -I --pedantic --show-overrides $debs >"$work/lintian" 2>>"$log"
    cat "$work/lintian"
    grep -v '^N: ' "$work/lintian" | grep -v '^O: ' | grep . >"$work/tags"
    [ -s "$work/tags" ] && fail "lintian: $(cat "$work/tags")"
    # Every override has its reason on the comment lines above it.
    dpkg-deb --fsys-tarfile "$work/pkg"/vorn_*.deb | tar -xO ./usr/share/lintian/overrides/vorn >"$work/overrides"
    awk '/^#/ { reason = 1; next } /^[^#]/ && !reason { print } /^$/ { reason = 0 }' "$work/overrides" >"$work/bare"
    [ -s "$work/bare" ] && fail "overrides without a reason: $(cat "$work/bare")"
    [ -s "$work/overrides" ] || fail "no overrides in the package"
    return 0
}

case "$case" in
    man) case_man ;;
    lintian) case_lintian ;;
    completion) case_completion ;;
    install) case_install ;;
    deb) case_deb ;;
    *) fail "unknown case" ;;
esac
echo "PASS ($case)"
