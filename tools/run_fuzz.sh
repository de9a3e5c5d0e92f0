#!/usr/bin/env bash
# Builds the serial control-request fuzzer with clang (libFuzzer + AddressSanitizer) in a build
# tree of its own and runs it for a bounded time over a corpus seeded with a few scripts.
#
#   tools/run_fuzz.sh [--build-dir DIR] [--target NAME] [--seconds N | --runs N] [-- extra libFuzzer options]
#
# NAME is serial_ioctl_fuzz (the default), registry_values_fuzz or ring_buffer_fuzz. --runs N
# runs N inputs however long they take (the long runs in docs/reliability.md).
#
# Exits 0 when clang++ is missing (nothing to run), otherwise with the fuzzer's status.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$root/build-fuzz"
seconds=30
runs=-1
target=serial_ioctl_fuzz
extra=()
while (($#)); do
  case "$1" in
    --build-dir) build_dir="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --runs) runs="$2"; seconds=0; shift 2 ;;
    --target) target="$2"; shift 2 ;;
    --) shift; extra=("$@"); break ;;
    *) echo "usage: $0 [--build-dir DIR] [--target NAME] [--seconds N | --runs N] [-- libFuzzer options]" >&2; exit 2 ;;
  esac
done

if ! command -v clang++ >/dev/null; then
  echo "run_fuzz: clang++ not found, skipping"
  exit 0
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$root/fuzz" -B "$build_dir" "${generator[@]}" \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" --target "$target" -- -j1

if [[ "$target" != serial_ioctl_fuzz ]]; then
  # These start from an empty corpus: any input is a valid script.
  corpus="$build_dir/corpus-$target"
  mkdir -p "$corpus"
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
  exec "$build_dir/$target" -artifact_prefix="$build_dir/$target-" -max_total_time="$seconds" -runs="$runs" -max_len=512 \
    -timeout=30 -print_final_stats=1 "${extra[@]}" "$corpus"
fi

# Seeds: each is a short script (see the op decoding in fuzz/serial_ioctl_fuzz.cpp).
corpus="$build_dir/corpus"
mkdir -p "$corpus"
seed() { printf "$2" >"$corpus/$1"; }
seed wait-then-cancel '\x00\x11\x00\x04\x04\x00'                  # WAIT_ON_MASK, then cancel it
seed set-mask-releases '\x00\x11\x00\x04\x00\x10\x04\x00\x01\x00\x00\x00'
seed notify-removal '\x00\x28\x00\x00\x07'                        # park, then the removal hand-over
seed notify-cancel '\x00\x28\x00\x00\x04\x00'
seed early-cancel '\x83\x11\x00\x04'                              # cancelled before parking
seed purge-ring '\x05\x20\x00\x12\x04\x00\x0f\x00\x00\x00'
seed unplugged '\x86\x00\x1a\x00\x14\x00\x25\x04\x00\x11\x00\x00\x00'

# LeakSanitizer runs too; leaks of pool, handles, objects and requests are also checked by the
# stand-in itself after every input (see the target).
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
exec "$build_dir/serial_ioctl_fuzz" -artifact_prefix="$build_dir/" -max_total_time="$seconds" -runs="$runs" -max_len=512 -len_control=0 -timeout=30 \
  -print_final_stats=1 "${extra[@]}" "$corpus"
