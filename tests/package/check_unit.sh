#!/bin/sh
# check_unit.sh UNIT_PATH: checks a configured harlune-passthru.service.
# `systemd-analyze verify` must load it without a word (an option systemd
# ignores, misspelt or of a bad value, is only a warning there), and
# `systemd-analyze security --offline=true` must rate its exposure at most
# 4.9 ("OK" or better). Prints the score; exits 0 when both hold, 1 when
# not, 2 on a bad call. Needs no systemd running as PID 1.
set -u

max_exposure=4.9

fail() {
    echo "check_unit: $*" >&2
    exit 1
}

[ $# -eq 1 ] || { echo "usage: check_unit.sh UNIT_PATH" >&2; exit 2; }
unit=$1
[ -f "$unit" ] || { echo "check_unit: no unit file $unit" >&2; exit 2; }
command -v systemd-analyze >/dev/null 2>&1 || fail "systemd-analyze is missing (package systemd)"

# The source unit names its program with a placeholder until CMake fills it in.
if grep -q '@[A-Z_]*@' "$unit"; then
    fail "$unit is not configured: $(grep -m1 '@[A-Z_]*@' "$unit")"
fi

# verify needs the program named by ExecStart to be there.
program=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit" | head -n 1)
[ -n "$program" ] || fail "$unit has no ExecStart"
[ -x "$program" ] || fail "ExecStart names $program, which is not an executable file"

verify_output=$(systemd-analyze verify "$unit" 2>&1)
verify_status=$?
# Only what it says of this file counts: other units on the machine may be
# damaged without it being this one's fault.
complaints=$(printf '%s\n' "$verify_output" | grep -F "$(basename "$unit")")
if [ "$verify_status" -ne 0 ] || [ -n "$complaints" ]; then
    printf '%s\n' "$verify_output" >&2
    fail "systemd-analyze verify $unit failed"
fi

security_output=$(systemd-analyze security --offline=true "$unit" 2>&1)
exposure=$(printf '%s\n' "$security_output" |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9][0-9]*\.[0-9]\).*/\1/p')
if [ -z "$exposure" ]; then
    printf '%s\n' "$security_output" >&2
    fail "systemd-analyze security gave no exposure level for $unit"
fi
echo "check_unit: $(basename "$unit") exposure $exposure (at most $max_exposure)"
if awk -v got="$exposure" -v max="$max_exposure" 'BEGIN { exit !(got > max) }'; then
    printf '%s\n' "$security_output" >&2
    fail "exposure $exposure is above $max_exposure"
fi
exit 0
