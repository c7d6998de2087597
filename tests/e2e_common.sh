# The start the end-to-end scripts share, read with "." by a script called with the words
# CASE VORN_EMU VORN WORKDIR: the case's own fresh folder in $work, vorn's folder first in PATH,
# and gen N K, N bytes of seeded test data (never /dev/urandom). The seed is VORN_TEST_SEED when
# set, else the script's $default_seed; a failure prints it. The checks of what vorn said (in
# $work/err) end through the script's own fail, which it defines.
set -u
case=$1
emu=$2
vorn=$3
work=$4/$case
rm -rf "$work"
mkdir -p "$work"
PATH=$(dirname "$vorn"):$PATH
export PATH
seed=${VORN_TEST_SEED:-$default_seed}
gen() { LC_ALL=C awk -v n="$1" -v s="$((seed + $2))" 'BEGIN { srand(s); for (i = 0; i < n; i++) printf "%c", int(rand() * 256) }'; }
has_line() { grep -qxF -- "$1" "$work/err" || fail "missing line: $1"; }
lacks() { ! grep -qF -- "$1" "$work/err" || fail "unexpected: $1"; }
has_match() { grep -qx -- "$1" "$work/err" || fail "no line like: $1"; }
