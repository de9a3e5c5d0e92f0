#!/usr/bin/env bash
# Runs the randomized soak (tests/reliability/soak_test.cpp) seed after seed until TOTAL requests
# have been issued, showing each seed's progress, and reports requests per second. The first
# broken invariant stops the run with its seed and the step to replay it.
#
#   tools/soak.sh TOTAL [FIRST_SEED]        (./run soak TOTAL builds the tests first)
#
# VP_SOAK_PER_SEED (default 100000) is the most one seed runs: a seed keeps the simulated printers'
# records to check every write at its end, and their store holds about that many requests' worth.
# BUILD_DIR defaults to build.
set -euo pipefail
cd "$(dirname "$0")/.."
total=${1:?usage: tools/soak.sh TOTAL [FIRST_SEED]}
seed=${2:-1}
per_seed=${VP_SOAK_PER_SEED:-100000}
bin=${BUILD_DIR:-build}/tests/reliability/reliability_tests
[[ -x $bin ]] || { echo "soak: $bin is missing; build the default preset first" >&2; exit 2; }

issued=0
started=$(date +%s%N)
while (( issued < total )); do
  budget=$(( total - issued < per_seed ? total - issued : per_seed ))
  seed_started=$(date +%s%N)
  log=$(mktemp)
  status=0
  VP_SOAK_SEEDS=$seed VP_SOAK_REQUESTS=$budget "$bin" --gtest_filter='Seeds/SoakTest.*' 2> >(tee -a "$log" >&2) >>"$log" || status=$?
  line=$(grep -m1 "^soak seed $seed: [0-9]* ms, [0-9]* requests (" "$log" || true)
  requests=$(sed -n 's/^soak seed [0-9]*: [0-9]* ms, \([0-9]*\) requests.*/\1/p' <<<"$line")
  if (( status != 0 )) || [[ -z $requests ]]; then
    grep -v "^soak seed $seed: [0-9]* ms, [0-9]* of" "$log" | tail -n 40 >&2 || true
    echo "soak: FAILED at seed $seed (exit $status), after $issued requests of earlier seeds" >&2
    grep -m1 "invariant broken" "$log" >&2 || echo "soak: replay with VP_SOAK_SEEDS=$seed VP_SOAK_REQUESTS=$budget $bin --gtest_filter='Seeds/SoakTest.*'" >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
  issued=$(( issued + requests ))
  now=$(date +%s%N)
  seed_ms=$(( (now - seed_started) / 1000000 ))
  all_ms=$(( (now - started) / 1000000 ))
  echo "soak: $line"
  echo "soak: seed $seed: $requests requests in $(( seed_ms / 1000 )).$(( seed_ms % 1000 / 100 )) s" \
       "($(( requests * 1000 / (seed_ms + 1) ))/s); $issued of $total in all, $(( issued * 1000 / (all_ms + 1) ))/s"
  seed=$(( seed + 1 ))
done
echo "soak: $issued requests over $(( seed - ${2:-1} )) seed(s), $(( ($(date +%s%N) - started) / 1000000000 )) s, no invariant broken"
