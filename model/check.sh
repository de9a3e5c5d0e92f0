#!/bin/sh
# check.sh - verifies the completion handshake model exhaustively with spin.
#
# Each configuration picks one kind of pending request with every party that can finish it;
# spin must find no assertion violation and no invalid end state (deadlock), and the search
# must be complete (no depth cut-off). Exits non-zero on the first failure.
#
# Environment: SPIN (default spin), CC (default cc), MODEL_TIMEOUT seconds per run (default 120).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
. "$here/pan_run.sh"

status=0
# LATE only removes the cleanup's wait for the dispatch routines, so each run also covers every
# interleaving of the same configuration without it.
for config in "NOTIFY SURPRISE LATE" "READS SURPRISE LATE" "WAITS SURPRISE LATE" "WAITS SMALLQ SURPRISE LATE"; do
    if pan_run "$here/handshake.pml" "$config" "" >"$work/out.txt" 2>&1; then :; fi
    errors=$(sed -n 's/.*errors: \([0-9][0-9]*\).*/\1/p' "$work/out.txt")
    states=$(sed -n 's/^ *\([0-9][0-9]*\) states, stored.*/\1/p' "$work/out.txt")
    if [ "$errors" != 0 ] || grep -q 'max search depth too small' "$work/out.txt"; then
        echo "FAIL [$config]: errors=${errors:-none}"
        cat "$work/out.txt"
        [ -f "$work/handshake.pml.trail" ] && pan_trail "$work" "$config"
        status=1
    else
        echo "ok   [$config]: $states states, no errors"
    fi
done
exit $status
