# package_route.sh - the Wine run's install route: the shipped package and vplink alone, as an
# administrator on Windows would use them. Sourced by run_wine_test.sh, whose helpers (w, fail,
# expect_exit, stop_session, wait_for_map) and settings (work, classes_key, usb_class, device_map)
# it uses.
#
# install_ports leaves LPT3 installed and linked to printer 0, for the client's checks;
# uninstall_ports then installs two ports again and takes everything out.

vplink='C:\vparallel\vplink.exe'
vptest='C:\vparallel\vptest.exe'

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

install_ports() {
  : >"$WINEPREFIX/drive_c/vparallel/vparallel.cat" # Wine checks no signature; Windows needs it signed
  w "$vptest" printer-links || { fail "the printers' interface links"; return 1; }

  expect_exit 5 "install: a missing INF is refused" w "$vplink" install --inf 'C:\nowhere\vparallel.inf'
  expect_exit 4 "install: refused to a standard user" w "$vptest" asuser "$vplink" install
  w reg add "$device_map" /v '\Device\OtherParallel' /d '\DosDevices\LPT5' /f >/dev/null
  expect_exit 6 "install: a name the device map holds is refused" w "$vplink" install --port LPT5
  w reg delete "$device_map" /v '\Device\OtherParallel' /f >/dev/null

  expect_exit 0 "install: the first port" w "$vplink" install
  expect_output "install: the first port is LPT3" '^LPT3 installed: ROOT\\VPARALLEL\\[0-9]+, Virtual parallel port \(LPT3\)'
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

# After the client's checks removed LPT3: two ports again, then everything out.
uninstall_ports() {
  expect_exit 0 "install again: LPT3" w "$vplink" install
  expect_exit 0 "install again: LPT4" w "$vplink" install
  wait_for_map present LPT3 LPT4
  expect_exit 0 "uninstall" w "$vplink" uninstall
  cat "$work/out.txt"
  wait_for_map absent LPT3 LPT4 && echo "ok   uninstall: no device-map value left"
  no_dos_name LPT3
  no_dos_name LPT4
  expect_exit 0 "uninstall: no port device left" w "$vplink" ports
  expect_output "uninstall: ports lists none" '^0 port\(s\)'
  [[ ! -e $WINEPREFIX/drive_c/windows/inf/vparallel.inf ]] && echo "ok   uninstall: the package left the driver store" ||
    fail "uninstall: the INF is still in the driver store"
  w sc query vparallel >/dev/null 2>&1 && fail "uninstall: the service is still there" || echo "ok   uninstall: no service"
  expect_exit 3 "uninstall: the links are gone" w "$vplink" show LPT3
}
