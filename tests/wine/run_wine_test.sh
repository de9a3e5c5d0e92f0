#!/usr/bin/env bash
# Runs the real driver under Wine against the simulated USB printer, twice: installed with the
# package's vplink.exe (package_route.sh: two ports, rename, update, remove, uninstall), and
# installed by hand-written registry keys and sc.
#
#   tests/wine/run_wine_test.sh [build dir]      (default build-windows; needs wine, wine64)
#
# Each route gets a fresh 64-bit prefix restored from a template made once per run. Prints the
# client's lines; exits non-zero when any step or check fails. Then the scenarios of tests/scenarios/
# run here and on the stand-in (the Linux build's runner, VPARALLEL_LINUX_BUILD, default build) and
# are compared. Set VPARALLEL_WINE_KEEP=1 to keep the prefixes and logs (in the directory printed at
# the start, made under TMPDIR, default /tmp), VPARALLEL_WINE_ROUTES="registry" to run one route (none: ""),
# VPARALLEL_WINE_SCENARIOS=0 to skip the scenarios, VPARALLEL_WINE_NODE=0 to skip the Node.js client
# (tests/wine/node/), WINEDEBUG=warn+debugstr to see the drivers' debug messages.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-windows}
for f in vplink.exe vparallel.inf wine/vparallel.sys wine/vpusbsim.sys wine/vptest.exe wine/planted.dll; do
  [[ -f $build/$f ]] || { echo "missing $build/$f: cmake --build --preset windows first" >&2; exit 2; }
done

# The image loaded here passes the same checks as the shipped one (the Linux build's pe_check).
checker=build/tools/pe_check/pe_check
[[ -x $checker ]] || { cmake --preset default >/dev/null && cmake --build --preset default --target pe_check; }
report=$("$checker" "$build/wine/vparallel.sys" --unstripped "$build/wine/symbols/vparallel.sys" \
  --kernel-exports tools/pe_check/kernel_exports.txt) || { echo "$report"; exit 1; }
echo "${report##*$'\n'}"

work=$(mktemp -d "${TMPDIR:-/tmp}/vparallel-wine.XXXXXX")
echo "wine work directory: $work"
# Ends the route's session (drivers, services, server) before its prefix is replaced or removed:
# a server whose prefix directory is gone can no longer be reached by wineserver -k.
stop_session() {
  [[ -d $work/prefix ]] || return 0
  WINEPREFIX=$work/prefix wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX=$work/prefix wineserver -w >/dev/null 2>&1 || true
}

cleanup() {
  stop_session
  [[ ${VPARALLEL_WINE_KEEP:-0} == 1 ]] || rm -rf "$work"
}
trap cleanup EXIT

export WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
usb_class='{a5dcbf10-6530-11d2-901f-00c04fb951ed}'
linked_id="##?#USB#Vid_1504&Pid_0002#SIM0001#$usb_class"
hardware_id='\Device\VpUsbSim0'
classes_key="HKLM\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\$usb_class"
device_map='HKLM\HARDWARE\DEVICEMAP\PARALLEL PORTS'

w() { timeout 120 wine "$@"; }
source tests/wine/package_route.sh
source tests/wine/node/node_route.sh

echo "== making the template prefix"
WINEPREFIX=$work/template timeout 300 wine wineboot -i </dev/null >"$work/wineboot.log" 2>&1
WINEPREFIX=$work/template timeout 120 wineserver -w
tar -C "$work/template" -cf "$work/template.tar" .
rm -rf "$work/template"

failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

expect_exit() { # expected-code description command...
  local expected=$1 what=$2 code=0
  shift 2
  "$@" >"$work/out.txt" 2>&1 || code=$?
  # vplink says why whenever it fails; a silent exit 1 is Wine failing to run it (seen once in
  # many runs), so that one is run again, and said so.
  if [[ $code == 1 && $expected != 1 && ! -s $work/out.txt ]]; then
    echo "note vplink: $what: exit 1 without a word; run again"
    code=0
    "$@" >"$work/out.txt" 2>&1 || code=$?
  fi
  if [[ $code == "$expected" ]]; then echo "ok   vplink: $what (exit $code)"; else
    fail "vplink: $what: exit $code, expected $expected"; cat "$work/out.txt"; fi
}

in_device_map() { w reg query "$device_map" 2>/dev/null | tr -d '\r' | grep -q "REG_SZ *$1\$"; }

# Waits until every name is (present) or is not (absent) in the parallel-port device map.
wait_for_map() { # present|absent name...
  local want=$1 name
  shift
  for _ in $(seq 1 100); do
    local settled=1
    for name in "$@"; do
      if in_device_map "$name"; then [[ $want == present ]] || settled=0; else [[ $want == absent ]] || settled=0; fi
    done
    ((settled)) && return 0
    sleep 0.2
  done
  fail "device map: $* never $want"
  return 1
}

# A fresh prefix restored from the template, and its persistent server.
fresh_prefix() {
  export WINEPREFIX=$work/prefix
  rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX" && tar -C "$WINEPREFIX" -xf "$work/template.tar"
  # The persistent server must not hold the caller's output open after the run.
  wineserver -p </dev/null >/dev/null 2>&1
}

# A port device written by hand as Plug and Play keeps it (ROOT\VPARALLEL\<instance>), with its name.
add_port_device() { # instance-number port
  local key
  key=$(printf 'HKLM\\System\\CurrentControlSet\\Enum\\ROOT\\VPARALLEL\\%04d' "$1")
  w reg add "$key" /v HardwareID /t REG_MULTI_SZ /d 'Root\VParallel' /f >/dev/null
  w reg add "$key" /v Service /t REG_SZ /d vparallel /f >/dev/null
  w reg add "$key" /v ClassGUID /t REG_SZ /d '{4D36E978-E325-11CE-BFC1-08002BE10318}' /f >/dev/null
  w reg add "$key" /v ConfigFlags /t REG_DWORD /d 0 /f >/dev/null
  w reg add "$key\\Device Parameters" /v PortName /t REG_SZ /d "$2" /f >/dev/null
}

create_driver_service() { # the driver's service, for devices written by hand
  w sc create vparallel type= kernel start= demand error= normal \
    binPath= 'C:\windows\system32\drivers\vparallel.sys' >/dev/null
}

run_route() { # package | registry
  local route=$1
  echo "== route: $route"
  fresh_prefix
  local dir=$WINEPREFIX/drive_c/vparallel drivers=$WINEPREFIX/drive_c/windows/system32/drivers
  mkdir -p "$dir"
  cp "$build"/wine/{vparallel.sys,vptest.exe} "$build"/{vplink.exe,vparallel.inf} "$dir/"
  cp "$build/wine/vpusbsim.sys" "$drivers/"

  w sc create vpusbsim type= kernel start= demand error= normal \
    binPath= 'C:\windows\system32\drivers\vpusbsim.sys' >/dev/null
  w sc start vpusbsim >/dev/null || { fail "$route: the simulated printer does not start"; return; }

  # The printer's entry in the USB device-interface list, and the link written with the tool.
  w reg add "$classes_key\\$linked_id" /f >/dev/null
  expect_exit 0 "set the link" w 'C:\vparallel\vplink.exe' set LPT3 "$hardware_id" "$linked_id"
  expect_exit 0 "show the link" w 'C:\vparallel\vplink.exe' show LPT3
  grep -q 'accepted, model class 3' "$work/out.txt" || fail "vplink show: verdict missing"; cat "$work/out.txt"
  grep -q 'device:     present' "$work/out.txt" || fail "vplink show: device not shown present"
  # Interface key names and the verdict vplink must give for each (the driver compares case-sensitively).
  local verdicts=(
    "Vid_1504&Pid_0002#SIM0001|accepted, model class 3"
    "VID_1504&PID_0002#UPPER|not accepted"
    "Vid_1504&Pid_0006#M2|accepted, model class 2"
    "Vid_1504&Pid_000B#UPPERPID|accepted, model class 1"
    "Vid_0419&Pid_1234#OTHER|accepted, model class 1"
    "Vid_055d&Pid_4010#M3|accepted, model class 3"
  )
  local entry
  for entry in "${verdicts[@]:1}"; do w reg add "$classes_key\\##?#USB#${entry%%|*}#$usb_class" /f >/dev/null; done
  expect_exit 0 "list the USB device interfaces" w 'C:\vparallel\vplink.exe' list
  cat "$work/out.txt"
  for entry in "${verdicts[@]}"; do
    grep -qF "#${entry%%|*}#$usb_class  ${entry#*|}" "$work/out.txt" || fail "vplink list: ${entry%%|*} not '${entry#*|}'"
  done
  for entry in "${verdicts[@]:1}"; do w reg delete "$classes_key\\##?#USB#${entry%%|*}#$usb_class" /f >/dev/null; done
  expect_exit 2 "no arguments" w 'C:\vparallel\vplink.exe'
  expect_exit 2 "unknown vendor refused" w 'C:\vparallel\vplink.exe' set LPT4 "$hardware_id" '##?#USB#Vid_9999&Pid_0001'
  expect_exit 2 "HardwareId too long for the driver" w 'C:\vparallel\vplink.exe' set LPT4 "\\Device\\$(printf 'x%.0s' $(seq 1 120))" "$linked_id"
  expect_exit 3 "show a port without a link" w 'C:\vparallel\vplink.exe' show LPT9

  if [[ $route == package ]]; then
    install_ports || { fail "$route: the ports were not installed"; return; }
  else
    cp "$build/wine/vparallel.sys" "$drivers/"
    add_port_device 0 LPT3
    create_driver_service
    w sc start vparallel >/dev/null || { fail "$route: the driver does not start"; return; }
  fi
  wait_for_map present LPT3 || return

  local code=0
  w 'C:\vparallel\vptest.exe' run LPT3 "$linked_id" | tee "$work/client-$route.txt" || code=$?
  grep -Eq '^[0-9]+ passed, 0 failed' "$work/client-$route.txt" && [[ $code == 0 ]] ||
    fail "$route: the client reported failures (exit $code)"
  if [[ $route == package ]]; then uninstall_ports; fi
}

# The scenarios' port devices, as add_port_device writes them, in one registry file: a reg call per
# value would cost a Wine start each.
port_devices_reg() { # port...
  local n=0 port key hardware_id
  hardware_id=$(printf 'Root\\VParallel' | iconv -t UTF-16LE | od -An -v -tx1 | tr -s ' \n' ',' | sed 's/^,//; s/,$//')
  printf 'Windows Registry Editor Version 5.00\r\n'
  for port in "$@"; do
    key=$(printf 'HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\ROOT\\VPARALLEL\\%04d' "$n")
    n=$((n + 1))
    printf '\r\n[%s]\r\n"HardwareID"=hex(7):%s,00,00,00,00\r\n"Service"="vparallel"\r\n' "$key" "$hardware_id"
    printf '"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"\r\n"ConfigFlags"=dword:00000000\r\n'
    printf '\r\n[%s\\Device Parameters]\r\n"PortName"="%s"\r\n' "$key" "$port"
  done
}

# The scenarios of tests/scenarios/ (see scenario.h there): run on the stand-in by the Linux
# build's runner, then here by the client in a session of their own, where every port they name is
# installed by hand-written registry keys. The comparer (compare.h there) takes the Wine host's
# known effects out, compares the rest exactly and prints
#   scenarios: N run, N steps, N normalised, N differences, N of them listed
# It fails the run on a difference that tests/scenarios/known_differences.txt does not list, and on
# an entry there that lists none. The drivers' hosts inherit the standard error of the command that
# starts the session's services, so the drivers' debug messages (WINEDEBUG=warn+debugstr) go to the
# log, and so do the client's step markers.
run_scenarios() {
  local linux_build=${VPARALLEL_LINUX_BUILD:-build}
  local standin=$linux_build/tests/scenarios/scenario-standin compare=$linux_build/tests/scenarios/scenario-compare
  echo "== scenarios"
  [[ -x $standin && -x $compare ]] || { fail "scenarios: $standin and $compare are missing (build the default preset)"; return; }
  local files=(tests/scenarios/*.scn) log=$work/scenario-debug.log
  "$standin" "$work/standin.records" "${files[@]}" || { fail "scenarios: the stand-in's run failed"; return; }
  fresh_prefix
  local dir=$WINEPREFIX/drive_c/vparallel drivers=$WINEPREFIX/drive_c/windows/system32/drivers
  mkdir -p "$dir"
  cp "$build"/wine/vptest.exe "${files[@]}" "$dir/"
  cp "$build"/wine/{vpusbsim,vparallel}.sys "$drivers/"
  WINEDEBUG=warn+debugstr w sc create vpusbsim type= kernel start= demand error= normal \
    binPath= 'C:\windows\system32\drivers\vpusbsim.sys' >/dev/null 2>>"$log"
  WINEDEBUG=warn+debugstr w sc start vpusbsim >/dev/null 2>>"$log" || { fail "scenarios: the simulated printer does not start"; return; }
  # shellcheck disable=SC2046 # one word per port name
  port_devices_reg $(awk '$1 == "port" {print $2}' "${files[@]}") >"$dir/ports.reg"
  w reg import 'C:\vparallel\ports.reg' >/dev/null 2>&1 || { fail "scenarios: the port devices cannot be written"; return; }
  create_driver_service
  WINEDEBUG=warn+debugstr w sc start vparallel >/dev/null 2>>"$log" || { fail "scenarios: the driver does not start"; return; }
  local args=() f
  for f in "${files[@]}"; do args+=("C:\\vparallel\\$(basename "$f")"); done
  WINEDEBUG=warn+debugstr w 'C:\vparallel\vptest.exe' scenario 'C:\vparallel\wine.records' "${args[@]}" 2>>"$log" ||
    fail "scenarios: the client could not run every scenario"
  "$compare" "$work/standin.records" "$dir/wine.records" "$log" tests/scenarios/known_differences.txt ||
    fail "scenarios: a difference is not listed in tests/scenarios/known_differences.txt, or an entry there lists none"
}

started=$(date +%s)
for route in ${VPARALLEL_WINE_ROUTES-package registry}; do
  run_route "$route"
  stop_session
done
if [[ ${VPARALLEL_WINE_NODE:-1} == 1 ]]; then
  run_node_client
  stop_session
fi
if [[ ${VPARALLEL_WINE_SCENARIOS:-1} == 1 ]]; then
  run_scenarios
  stop_session
fi
echo "wine run: $(( $(date +%s) - started )) s after the template, $failures failure(s)"
(( failures == 0 ))
