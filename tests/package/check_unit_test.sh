#!/bin/sh
# check_unit_test.sh CHECK_UNIT UNIT: check_unit.sh passes the configured
# unit UNIT and fails it once it is weakened, misspelt, points at a missing
# program or is not configured.
set -u

[ $# -eq 2 ] || { echo "usage: check_unit_test.sh CHECK_UNIT UNIT" >&2; exit 2; }
check=$1
unit=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect STATUS WHAT FILE: check_unit.sh on FILE ends with STATUS.
expect() {
    "$check" "$3" >"$work/out" 2>&1
    status=$?
    if [ "$status" -eq "$1" ]; then
        echo "ok: $2"
    else
        echo "FAIL: $2: exit $status, expected $1" >&2
        cat "$work/out" >&2
        failures=$((failures + 1))
    fi
}

# variant NAME SED_SCRIPT: the unit edited, under its own name in a folder.
variant() {
    mkdir -p "$work/$1"
    sed "$2" "$unit" >"$work/$1/harlune-passthru.service"
    echo "$work/$1/harlune-passthru.service"
}

expect 0 "the unit as configured" "$unit"
grep -q "exposure" "$work/out" || { echo "FAIL: no exposure printed" >&2; failures=$((failures + 1)); }

# Every line between the restart policy and [Install] gone: the unit as it
# was before its sandbox.
expect 1 "without its sandbox" "$(variant bare '/^RestartPreventExitStatus=/,/^\[Install\]/{/^RestartPreventExitStatus=/!{/^\[Install\]/!d}}')"
expect 1 "a misspelt option" "$(variant misspelt 's/^ProtectHome=yes/ProtectHome=yes\nProtectHomes=yes/')"
expect 1 "a bad value" "$(variant bad-value 's/^ProtectProc=.*/ProtectProc=hidden/')"
expect 1 "a missing program" "$(variant missing 's#^ExecStart=[^ ]*#ExecStart=/nonexistent/harlune-passthru#')"
expect 1 "not configured" "$(variant raw 's#^ExecStart=[^ ]*#ExecStart=@HARLUNE_BIN_DIR@/harlune-passthru#')"
expect 2 "no such file" "$work/none/harlune-passthru.service"

[ "$failures" -eq 0 ]
