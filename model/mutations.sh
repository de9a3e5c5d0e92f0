#!/bin/sh
# mutations.sh - shows that the model's checks have teeth: each run applies one fault that a
# plausible change to the driver would introduce, and spin must find a counterexample of the
# expected kind. A mutation that no longer applies (the model text moved) fails too.
#
# Environment: as check.sh.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
# Each fault is found early in the search: an unoptimised verifier compiles in a third of the time.
PAN_OPT=${PAN_OPT:--O0}
. "$here/pan_run.sh"

status=0

# mutate NAME "DEFINES" EXPECTED PERL-SUBSTITUTION
mutate() {
    perl -0pe "$4" "$here/handshake.pml" >"$work/mutant.pml"
    if cmp -s "$here/handshake.pml" "$work/mutant.pml"; then
        echo "FAIL $1: the fault no longer applies to the model"
        status=1
        return
    fi
    if pan_run "$work/mutant.pml" "$2" "" >"$work/out.txt" 2>&1; then :; fi
    if grep -q "$3" "$work/out.txt"; then
        echo "ok   $1: spin reports '$(grep -m1 "$3" "$work/out.txt" | sed 's/^ *//')'"
    else
        echo "FAIL $1: spin found no '$3'"
        cat "$work/out.txt"
        status=1
    fi
}

# A completer that ignores what IoSetCancelRoutine(Irp, NULL) returned completes a request whose
# cancel routine is already running: completed twice.
mutate "completer skips the cancel-routine return check" "WAITS SURPRISE" "assertion violated" \
    's{:: r -> complete\(i\)(\s+/\* still ours)}{:: true -> complete(i)$1}'

# R_CancelRoutine completing the read before it empties PendingReadIrp: the read-polling thread
# or the purge can still take the completed request out of the slot and use it.
mutate "R_CancelRoutine completes before emptying PendingReadIrp" "READS SURPRISE" "assertion violated" \
    's{(inline R_CancelRoutine\(i\) \{\n[^\n]*\n)(.*?\n)    complete\(i\)[^\n]*\n\}}{$1    complete(i);\n$2    skip\n\}}s'

# Set-wait-mask taking the cancel spin lock inside Lock, against W_CancelRoutine which holds the
# cancel spin lock and then takes Lock: the two wait for each other.
mutate "set-wait-mask takes the locks in the other order" "WAITS SURPRISE" "invalid end state" \
    's{acquire\(lock\);\n(\s+)pop\(x\);(\s+/\* WaitQueuePop \*/)(.*?)\n(\s+)release\(lock\)}{acquire(lock);\n$1acquire(cslock);\n$1pop(x);$2$3\n$4release(cslock);\n$4release(lock)}s'

# A read that parks on a surprise-removed port, with cleanup's last sweep gone too. Either
# defence alone keeps the read from being stranded (a read checks the port state under Lock, and
# cleanup sweeps what is still held), so the fault takes both away.
mutate "a read parks on a removed port and cleanup forgets it" "READS SURPRISE" "assertion violated" \
    's{:: !tornDown && !removed ->}{:: !tornDown ->}; s{x = pendingRead;(\s+/\* CollectHeldReads: the waiting read \*/)\n\s+pendingRead = NONE;}{x = NONE;$1}'

# A second removal-notify request that takes the slot of the parked one: the first is in no
# place any more, and the removal completes only the second.
mutate "a second notify request replaces the parked one" "NOTIFY SURPRISE" "assertion violated" \
    's{:: notifyIrp != NONE -> atomic}{:: false -> atomic}'

# The purge completing whatever PendingReadIrp holds, without looking for an empty slot.
mutate "the purge completes an empty PendingReadIrp" "READS SURPRISE" "assertion violated (x!=255)" \
    's{(SerialPurge: take and empty the slot \*/\n\s+if\n\s+):: x != NONE ->}{$1:: true ->}'

# A read that parks on a port whose teardown has run: nobody is left to complete it.
mutate "a read parks on a torn-down port" "READS SURPRISE LATE" "assertion violated" \
    's{:: !tornDown && !removed ->(\s+/\* ReadWorkerRuns \*/\s+parkRequest\(i, r\);\s+/\* ParkRead)}{:: !removed ->$1}'

# A wait-on-mask request queued on a torn-down port: likewise stranded.
mutate "a wait request is queued on a torn-down port" "WAITS SURPRISE LATE" "assertion violated" \
    's{:: tornDown -> atomic \{(\s+/\* torn-down port)}{:: false -> atomic \{$1}'

# The teardown without the requests that found the queue full (both its first sweep and its last
# forget OverflowWaits): the second wait request then waits for nobody.
mutate "the teardown forgets OverflowWaits" "WAITS SMALLQ" "assertion violated" \
    's{:: overflow\[k\] -> overflow\[k\] = 0; completeTaken\(k, r\)}{:: false -> skip}; s{:: displaced\[k\] \|\| overflow\[k\] ->}{:: displaced[k] ->}'

exit $status
