# pan_run.sh - shared by check.sh and mutations.sh: builds and runs one spin verification.
# Sourced; sets $work (a temporary directory removed on exit).

SPIN=${SPIN:-spin}
CC=${CC:-cc}
MODEL_TIMEOUT=${MODEL_TIMEOUT:-120}

work=$(mktemp -d "${TMPDIR:-/tmp}/vparallel-model.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# pan_run MODEL "DEFINES" "PAN-OPTIONS": verification output on stdout, the trail left in $work.
pan_run() {
    cp "$1" "$work/handshake.pml"
    defines=""
    for d in $2; do defines="$defines -D$d"; done
    rm -f "$work"/pan* "$work/handshake.pml.trail"
    # shellcheck disable=SC2086
    (cd "$work" && "$SPIN" -a $defines handshake.pml >/dev/null) || { echo "spin -a failed"; return 1; }
    (cd "$work" && "$CC" ${PAN_OPT:--O1} -w -DSAFETY -DNOBOUNDCHECK -DCOLLAPSE -DMEMLIM=1024 -o pan pan.c) ||
        { echo "cc failed"; return 1; }
    # shellcheck disable=SC2086
    (cd "$work" && timeout "$MODEL_TIMEOUT" ./pan -m10000 $3)
}

# pan_trail DIR "DEFINES": the counterexample, step by step.
pan_trail() {
    defines=""
    for d in $2; do defines="$defines -D$d"; done
    # shellcheck disable=SC2086
    (cd "$1" && "$SPIN" -t -p -g $defines handshake.pml | grep -v '^ *$' | tail -n 80)
}
