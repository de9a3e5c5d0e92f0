# package_route.sh - the Wine run's install route: the shipped package and vplink alone, as an
# administrator on Windows would use them. Sourced by run_wine_test.sh, whose helpers (w, fail,
# expect_exit, stop_session, wait_for_map) and settings (work, classes_key, usb_class, device_map)
# it uses.
#
# install_ports leaves LPT3 installed and linked to printer 0, for the client's checks;
# uninstall_ports then installs two ports again and takes everything out.
#
# The package is used from a folder of its own, as a user unpacks a download, with a copy of
# planted.dll beside vplink.exe under the name of each DLL it delay-loads. Wine prefers its own
# builtin DLLs; told to prefer a native one (WINEDLLOVERRIDES ...=n,b), it takes one found beside
# the program first, as Windows does, so a planted copy is loaded unless vplink keeps the DLL
# search to system32.

download='C:\download'
vplink="$download\vplink.exe"
vptest='C:\vparallel\vptest.exe'
planted_dlls=(newdev cfgmgr32 crypt32)
event_source='HKLM\System\CurrentControlSet\Services\EventLog\System\vparallel'
native_dlls="$(IFS=,; echo "${planted_dlls[*]}")=n,b" # added to WINEDLLOVERRIDES for the route

printer_key() { # printer index: its entry under the USB device-interface class key
  echo "$classes_key\\##?#USB#Vid_1504&Pid_0002#SIM000$(($1 + 1))#$usb_class"
}

expect_output() { # description extended-regex: on the last expect_exit's output
  grep -Eq "$2" "$work/out.txt" && echo "ok   $1" || { fail "$1"; cat "$work/out.txt"; }
}

print_at_once() { # PORT=PRINTER...
  w "$vptest" print "$@" >"$work/print.txt" 2>&1 && echo "ok   ports print at once: $*" ||
    { fail "printing at once: $*"; cat "$work/print.txt"; }
}

no_dos_name() { # name: the port's name is withdrawn
  w "$vptest" dosname "$1" >/dev/null && fail "\\\\.\\$1 still exists" || echo "ok   \\\\.\\$1 is gone"
}

# Wine restarts a device only with its session: the drivers of installed root devices load when
# the next session starts. The printer service and its interface links are set up again.
restart_session() {
  stop_session
  wineserver -p </dev/null >/dev/null 2>&1
  w sc start vpusbsim >/dev/null || fail "the simulated printer does not start again"
  w "$vptest" printer-links || fail "the printers' interface links"
}


# The shipped files as built: vplink.exe without debug sections, both files with version
# resources that match the INF's DriverVer (dated no later than today, UTC), and vplink's manifest.
check_shipped_files() {
  local objdump=x86_64-w64-mingw32-objdump version stamp
  if $objdump -h "$build/vplink.exe" | grep -q ' \.debug'; then fail "vplink.exe carries debug sections"
  elif [[ ! -f $build/symbols/vplink.exe ]]; then fail "no symbols/vplink.exe beside vplink.exe"
  else echo "ok   vplink.exe ships without debug sections, its symbols beside it"; fi
  # Static imports load before wmain restricts the DLL search: only known DLLs (which always come
  # from system32) may be imported so; any other is delay-loaded (package/CMakeLists.txt).
  local known=" advapi32 combase gdi32 kernel32 msvcrt ntdll ole32 oleaut32 rpcrt4 sechost setupapi shell32 shlwapi user32 ws2_32 "
  local dll imports others=""
  imports=$($objdump -p "$build/vplink.exe" | sed -n 's/^\tDLL Name: \(.*\)\.dll$/\1/ip' | tr A-Z a-z)
  for dll in $imports; do
    [[ $known == *" $dll "* ]] || others+=" $dll"
  done
  [[ -z $others && $imports == *kernel32* ]] && echo "ok   vplink.exe imports only known DLLs statically" ||
    fail "vplink.exe's static imports: ${imports//$'\n'/ } (not known DLLs:${others:- none})"
  stamp=$(tr -d '\r' <"$build/vparallel.inf" | sed -n 's/^DriverVer *= *\([0-9/]*\),\([0-9.]*\)$/\1 \2/p')
  version=${stamp#* }
  local date=${stamp% *}
  [[ $date =~ ^([0-9]{2})/([0-9]{2})/([0-9]{4})$ ]] &&
    [[ ${BASH_REMATCH[3]}${BASH_REMATCH[1]}${BASH_REMATCH[2]} -le $(date -u +%Y%m%d) ]] &&
    echo "ok   INF: DriverVer $date,$version, not after today (UTC)" || fail "INF: DriverVer '$stamp'"
  w "$vptest" resources "$download\vplink.exe" >"$work/out.txt" 2>&1
  expect_output "vplink.exe: version $version" "^FileVersion: ${version//./\\.}"
  expect_output "vplink.exe: its own name" '^OriginalFilename: vplink.exe'
  expect_output "vplink.exe: the manifest asks for elevation" 'requestedExecutionLevel level="requireAdministrator"'
  expect_output "vplink.exe: the manifest declares Windows 10 and 11" 'supportedOS Id="\{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a\}"'
  w "$vptest" resources "$download\vparallel.sys" >"$work/out.txt" 2>&1
  expect_output "vparallel.sys: version $version" "^FileVersion: ${version//./\\.}"
  expect_output "vparallel.sys: a system driver (VFT_DRV, VFT2_DRV_SYSTEM)" '^file type: 3/7'
  expect_output "vparallel.sys: its own name" '^OriginalFilename: vparallel.sys'
}

install_ports() {
  local -x WINEDLLOVERRIDES="$WINEDLLOVERRIDES;$native_dlls"
  local dir=$WINEPREFIX/drive_c/download dll
  mkdir -p "$dir"
  cp "$build"/{vplink.exe,vparallel.inf} "$build/wine/vparallel.sys" "$dir/"
  : >"$dir/vparallel.cat" # Wine checks no signature; Windows needs it signed
  for dll in "${planted_dlls[@]}"; do cp "$build/wine/planted.dll" "$dir/$dll.dll"; done
  check_shipped_files
  w "$vptest" printer-links || { fail "the printers' interface links"; return 1; }

  expect_exit 5 "install: a missing INF is refused" w "$vplink" install --inf 'C:\nowhere\vparallel.inf'
  expect_exit 4 "install: refused to a standard user" w "$vptest" asuser "$vplink" install
  w reg add "$device_map" /v '\Device\OtherParallel' /d '\DosDevices\LPT5' /f >/dev/null
  expect_exit 6 "install: a name the device map holds is refused" w "$vplink" install --port LPT5
  w reg delete "$device_map" /v '\Device\OtherParallel' /f >/dev/null
  w "$vptest" doslink LPT6 '\Device\Null' || fail "cannot make the DOS name LPT6"
  expect_exit 6 "install: a name that is a DOS device name already is refused" w "$vplink" install --port LPT6
  expect_output "install: the DOS name is named as the holder" 'LPT6 is taken by the DOS device name LPT6 \(-> \\Device\\Null'
  w "$vptest" doslink LPT6 || fail "cannot delete the DOS name LPT6"
  # A virus scanner holding the unpacked INF: five attempts, then the sharing violation, nothing changed.
  expect_exit 1 "install: an INF another program holds open" w "$vptest" hold "$download\vparallel.inf" "$vplink" install
  expect_output "install: the held INF is tried five times" 'reading the INF, attempt 5 of 5'

  expect_exit 0 "install: the first port" w "$vplink" install
  expect_output "install: the first port is LPT3" '^LPT3 installed: ROOT\\VPARALLEL\\[0-9]+, Virtual parallel port \(LPT3\)'
  expect_output "install: says the catalog's signature cannot be read" 'vparallel.cat carries no signature'
  expect_output "install: reports the port's state (none under Wine)" '^LPT3: state unknown: the system reports no state'
  w reg query 'HKLM\SOFTWARE\vparallel' /v DriverStoreInfs 2>/dev/null | tr -d '\r' | grep -q 'REG_MULTI_SZ *vparallel.inf$' &&
    echo "ok   install: the driver store's name for the INF is recorded" || fail "install: no record of the staged INF"
  # Text beyond ASCII, redirected to a file, arrives as UTF-8.
  LC_ALL=C.UTF-8 expect_exit 0 "set: a device path beyond ASCII" w "$vplink" set LPT7 '\Device\プリンタé' "$linked_id"
  grep -qF 'LPT7 linked to \Device\プリンタé (accepted' "$work/out.txt" &&
    echo "ok   set: the path is written back as UTF-8" || { fail "set: the path is not UTF-8"; od -c "$work/out.txt" | head; }
  expect_exit 0 "remove: the link of a port without a device" w "$vplink" remove LPT7
  # The driver as an event source of the System log: Wine's SetupAPI passes over AddService's
  # event-log section, so vptest runs it as Windows does; the values are then what Windows writes.
  w reg query "$event_source" >/dev/null 2>&1 && echo "note Wine registered the event source itself"
  w "$vptest" eventsource "$download\vparallel.inf" VParallel_Install.NT.Services >"$work/out.txt" 2>&1 ||
    { fail "install: the INF's event-log section does not install"; cat "$work/out.txt"; }
  local files
  files=$(w reg query "$event_source" /v EventMessageFile 2>/dev/null | tr -d '\r' | grep EventMessageFile)
  grep -Eq 'REG_EXPAND_SZ +%SystemRoot%\\System32\\IoLogMsg\.dll;[A-Za-z]:\\.*\\vparallel\.sys$' <<<"$files" &&
    echo "ok   install: event source vparallel: IoLogMsg.dll and the image, %SystemRoot% left to expand (${files##* })" ||
    fail "install: the event source's EventMessageFile: '$files'"
  w reg query "$event_source" /v TypesSupported 2>/dev/null | tr -d '\r' | grep -Eq 'REG_DWORD +0x7$' &&
    echo "ok   install: event source vparallel: errors, warnings and information (7)" ||
    fail "install: the event source's TypesSupported"
  w reg query 'HKLM\System\CurrentControlSet\Control\Class\{4D36E978-E325-11CE-BFC1-08002BE10318}' /s 2>/dev/null |
    tr -d '\r' | grep -Eq 'PortSubClass +REG_BINARY +00$' && echo "ok   install: the driver key marks a parallel port" ||
    fail "install: no PortSubClass 00 in the driver key"
  expect_exit 0 "install --port LPT4" w "$vplink" install --port LPT4
  expect_exit 6 "install: a name a port holds is refused" w "$vplink" install --port LPT4
  wait_for_map present LPT3 LPT4 || return 1

  # The printers are plugged in one at a time: auto links each port to the one not yet linked.
  expect_exit 0 "set LPT3 auto: the one printer present" w "$vplink" set LPT3 auto
  expect_output "set LPT3 auto: printer 0" 'LPT3 linked to \\\?\?\\USB#Vid_1504&Pid_0002#SIM0001#'
  w reg add "$(printer_key 1)" /f >/dev/null
  expect_exit 0 "set LPT4 auto: the printer not linked yet" w "$vplink" set LPT4 auto
  expect_output "set LPT4 auto: printer 1" 'LPT4 linked to \\\?\?\\USB#Vid_1504&Pid_0002#SIM0002#'
  w reg add "$(printer_key 2)" /f >/dev/null
  w reg add "$(printer_key 3)" /f >/dev/null
  expect_exit 9 "set auto: refused with two free printers" w "$vplink" set LPT5 auto
  grep -q SIM0003 "$work/out.txt" && grep -q SIM0004 "$work/out.txt" && echo "ok   set auto: both candidates listed" ||
    fail "set auto: the candidates are not listed"
  w reg delete "$(printer_key 2)" /f >/dev/null
  w reg delete "$(printer_key 3)" /f >/dev/null

  print_at_once LPT3=0 LPT4=1
  expect_exit 0 "ports" w "$vplink" ports
  cat "$work/out.txt"
  expect_output "ports: two ports" '^2 port\(s\)'
  local port block
  for port in LPT3 LPT4; do
    block=$(grep -A3 -F "$port  Virtual parallel port ($port)" "$work/out.txt")
    grep -qF "published: \\\\.\\$port -> " <<<"$block" && grep -qF "device map entry" <<<"$block" &&
      grep -qF "printer present" <<<"$block" && echo "ok   ports: $port named, published, linked to a present printer" ||
      fail "ports: $port's name, publication or link"
  done

  expect_exit 6 "rename: to a name in use is refused" w "$vplink" rename LPT4 LPT3
  expect_exit 3 "rename: a port that does not exist" w "$vplink" rename LPT9 LPT8
  # Windows restarts the port at once (exit 0); Wine has no call to restart one device (exit 8).
  expect_exit 8 "rename LPT4 LPT5" w "$vplink" rename LPT4 LPT5
  expect_exit 0 "update: the driver reinstalled on both ports" w "$vplink" update
  local names
  names=$(w reg query 'HKLM\System\CurrentControlSet\Enum\ROOT\VPARALLEL' /s 2>/dev/null | tr -d '\r' | awk '/PortName/ {print $3}' | sort | xargs)
  [[ $names == "LPT3 LPT5" ]] && echo "ok   update: the ports keep their names" || fail "update: names now '$names'"

  restart_session
  wait_for_map present LPT3 LPT5 && wait_for_map absent LPT4 && echo "ok   rename: LPT5 published, LPT4 withdrawn"
  no_dos_name LPT4
  print_at_once LPT3=0 LPT5=1

  expect_exit 0 "remove LPT5" w "$vplink" remove LPT5
  wait_for_map absent LPT5 && no_dos_name LPT5
  expect_exit 3 "remove: the link went with the port" w "$vplink" show LPT5
  print_at_once LPT3=0
}

# The port's last refusal, from the last expect_exit's output of vplink ports.
last_refusal() { # port
  grep -A5 -F "$1  Virtual parallel port ($1)" "$work/out.txt" | tr -d '\r' | sed -n 's/^  last refusal: //p' | head -1
}

# LPT3, installed again, is still linked to printer 0, which the client took away: the driver
# refuses its open and records why in the port's hardware key, from a work item, so the record may
# come a moment after the refusal. vplink ports shows it in local time (a zone of +05:30 here, so
# that a time shown in UTC would not pass), and --clear forgets it.
show_last_refusal() {
  local -x TZ=XST-5:30
  local shown='' seconds now
  expect_exit 0 "ports: before any refusal" w "$vplink" ports
  [[ $(last_refusal LPT3) == none && $(last_refusal LPT12) == none ]] &&
    echo "ok   ports: no last refusal on a new port" || { fail "ports: a last refusal before any"; cat "$work/out.txt"; }
  w "$vptest" open LPT3 >/dev/null && fail "LPT3 opened without its printer" ||
    echo "ok   the open of LPT3 is refused: its printer is absent"
  for _ in $(seq 1 50); do
    w "$vplink" ports >"$work/out.txt" 2>&1
    shown=$(last_refusal LPT3)
    [[ $shown != none ]] && break
    sleep 0.2
  done
  cat "$work/out.txt"
  now=$(date +%s)
  if [[ $shown =~ ^printer\ absent,\ ([0-9]{2}):([0-9]{2}):([0-9]{2})$ ]]; then
    seconds=$(( (now - $(date -d "$(date +%F) ${BASH_REMATCH[1]}:${BASH_REMATCH[2]}:${BASH_REMATCH[3]}" +%s) + 86400) % 86400 ))
    ((seconds < 300)) && echo "ok   ports: LPT3's last refusal is 'printer absent' at ${shown#*, }, local time, today" ||
      fail "ports: LPT3's last refusal at ${shown#*, }, $seconds s before $(date +%T)"
  else
    fail "ports: LPT3's last refusal is '$shown'"
  fi
  [[ $(last_refusal LPT12) == none ]] && echo "ok   ports: LPT12 has no last refusal" || fail "ports: LPT12 shows a refusal"

  expect_exit 2 "ports: an unknown option" w "$vplink" ports --clean
  expect_exit 3 "ports --clear: a port that does not exist" w "$vplink" ports --clear LPT9
  expect_exit 4 "ports --clear: refused to a standard user" w "$vptest" asuser "$vplink" ports --clear LPT3
  expect_exit 0 "ports --clear LPT3" w "$vplink" ports --clear lpt3
  expect_output "ports --clear LPT3: one port" '^last refusal cleared on 1 port\(s\)'
  expect_exit 0 "ports: after --clear" w "$vplink" ports
  [[ $(last_refusal LPT3) == none ]] && echo "ok   ports --clear: LPT3's last refusal forgotten" ||
    fail "ports --clear: LPT3 still shows '$(last_refusal LPT3)'"
}

# After the client's checks removed LPT3: two ports again (one above LPT9), then everything out.
uninstall_ports() {
  local -x WINEDLLOVERRIDES="$WINEDLLOVERRIDES;$native_dlls"
  local inf=$WINEPREFIX/drive_c/windows/inf dll
  expect_exit 0 "install again: LPT3" w "$vplink" install
  expect_exit 0 "install --port LPT12: a name above LPT9 on request" w "$vplink" install --port LPT12
  expect_output "install: LPT12 is explained as \\\\.\\LPT12" 'reach LPT12 only as \\\\\.\\LPT12'
  wait_for_map present LPT3 LPT12
  expect_exit 0 "set LPT12 auto" w "$vplink" set LPT12 auto
  print_at_once LPT12=1 # the client took printer 0 away: LPT3 has no printer now
  show_last_refusal
  # A package of this driver that vplink did not stage stays; without a record, uninstall searches.
  cp "$inf/vparallel.inf" "$inf/oem90.inf"
  expect_exit 0 "uninstall" w "$vplink" uninstall
  cat "$work/out.txt"
  expect_output "uninstall: the recorded package removed" '^driver package vparallel.inf removed'
  wait_for_map absent LPT3 LPT12 && echo "ok   uninstall: no device-map value left"
  no_dos_name LPT3
  no_dos_name LPT12
  expect_exit 0 "uninstall: no port device left" w "$vplink" ports
  expect_output "uninstall: ports lists none" '^0 port\(s\)'
  [[ ! -e $inf/vparallel.inf ]] && echo "ok   uninstall: the package left the driver store" ||
    fail "uninstall: the INF is still in the driver store"
  [[ -e $inf/oem90.inf ]] && echo "ok   uninstall: an INF not recorded at install is not searched for" ||
    fail "uninstall: searched the INF folder despite the record"
  w reg query 'HKLM\SOFTWARE\vparallel' >/dev/null 2>&1 && fail "uninstall: the record is still there" ||
    echo "ok   uninstall: the record went with the package"
  w sc query vparallel >/dev/null 2>&1 && fail "uninstall: the service is still there" || echo "ok   uninstall: no service"
  w reg query "$event_source" >/dev/null 2>&1 && fail "uninstall: the event source is still there" ||
    echo "ok   uninstall: no event source"
  expect_exit 3 "uninstall: the links are gone" w "$vplink" show LPT3
  expect_exit 0 "uninstall again, without a record" w "$vplink" uninstall
  expect_output "uninstall: without a record it searches the INF folder" '^no record of the packages vplink staged'
  [[ ! -e $inf/oem90.inf ]] && echo "ok   uninstall: the INF found by the search removed" || fail "uninstall: oem90.inf left"
  for dll in "${planted_dlls[@]}"; do
    [[ -e $WINEPREFIX/drive_c/download/$dll.dll.loaded ]] && fail "vplink loaded the $dll.dll planted beside it"
  done
  [[ $(ls "$WINEPREFIX/drive_c/download" | grep -c '\.loaded$') == 0 ]] &&
    echo "ok   vplink loaded none of the DLLs planted beside it (${planted_dlls[*]})"
}
