#!/usr/bin/env bash
# Inspects a kernel driver image: PE32+ for x86-64, native subsystem, entry point at
# DriverEntry, no C++ constructor sections, imports only from ntoskrnl.exe and HAL.dll.
set -euo pipefail
image=${1:?usage: check_pe.sh IMAGE}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
nm=${NM:-x86_64-w64-mingw32-nm}
fail=0
bad() { echo "check_pe: $image: $*" >&2; fail=1; }

headers=$("$objdump" -p "$image")
grep -q 'file format pei-x86-64' <<<"$headers" || bad "not a PE image for x86-64"
grep -Eq '^Magic[[:space:]]+020b' <<<"$headers" || bad "not PE32+ (Magic 020b)"
grep -Eq '^Subsystem[[:space:]]+00000001' <<<"$headers" || bad "subsystem is not native (1)"

entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
base=$(awk '/^ImageBase/ {print $2}' <<<"$headers")
driver_entry=$("$nm" "$image" | awk '$3 == "DriverEntry" {print $1}')
if [[ -z "$driver_entry" ]]; then
  bad "no DriverEntry symbol"
elif (( 16#$entry + 16#$base != 16#$driver_entry )); then
  bad "entry point 0x$entry is not DriverEntry (0x$driver_entry)"
fi

mapfile -t dlls < <(awk '/DLL Name:/ {print $3}' <<<"$headers")
(( ${#dlls[@]} > 0 )) || bad "imports nothing (not even ntoskrnl.exe)"
for dll in "${dlls[@]}"; do
  case "${dll,,}" in
    ntoskrnl.exe|hal.dll) ;;
    *) bad "imports from $dll" ;;
  esac
done

sections=$("$objdump" -h "$image")
if grep -Eq '[[:space:]]\.(ctors|init_array)[[:space:]]' <<<"$sections"; then
  size=$(awk '$2 == ".ctors" || $2 == ".init_array" {print $3}' <<<"$sections" | head -n1)
  # mingw always emits a two-pointer .ctors list (terminators only); anything larger is a
  # global constructor that nothing in a kernel would run.
  (( 16#${size:-0} <= 16 )) || bad "has global constructors (.ctors size 0x$size)"
fi

if (( fail )); then exit 1; fi
echo "check_pe: $image: PE32+ x86-64, native, entry DriverEntry, imports: ${dlls[*]}"
