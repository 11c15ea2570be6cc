#!/usr/bin/env bash
# The MSI as an administrator meets it, in a scratch Wine prefix of its own (a copy of a pristine
# prefix made once per build folder):
#   package_test.sh BUILD STEP
# STEP, in this order: prefix, broken, self-registration, install, upgrade, uninstall, end.
set -euo pipefail
build=$1
step=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
msi="$build/package/StiScannerBridge-$version-x64.msi"
next_msi=$(ls "$build"/package/next/StiScannerBridge-*-x64.msi)
next_version=$(basename "$next_msi" | sed 's/StiScannerBridge-\(.*\)-x64.msi/\1/')
template="$build/package-prefix-template"
work="$build/package-test"

# Wine's services and a COM server that a step starts outlive it and inherit its descriptors: the
# test runner would wait on its pipe for them. Output goes through a file, shown at the end.
mkdir -p "$work"
log="$work/$step.log"
exec 3>&1 4>&2 >"$log" 2>&1
trap 'status=$?; cat "$log" >&3; exit $status' EXIT

export WINEPREFIX="$build/package-prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
drive_c="$WINEPREFIX/drive_c"

server_clsid='{3E1C7A52-9B04-4D6E-A1F3-5C82D07B9E61}'
iid='{8A4F2D19-6C3B-4E07-B5D8-1F9A6E3C0B74}'
proxy_clsid='{8A4F2D19-6C3B-4E07-B5D8-1F9A6E3C0B75}'
install_dir='C:\Program Files\tavrk\STI Scanner Bridge'
install_path="$drive_c/Program Files/tavrk/STI Scanner Bridge"
# What the package adds to the self-registered keys: the AppID and the ProgIDs.
product_keys=("CLSID\\$server_clsid" "Interface\\$iid" "CLSID\\$proxy_clsid"
              "AppID\\$server_clsid" 'AppID\StiScannerComBridge.exe'
              'tavrk.twain.CStiScannerComBridge' 'tavrk.twain.CStiScannerComBridge.1')
product_files=("$drive_c/Program Files/tavrk" "$drive_c/windows/twain_64/StiBridge"
               "$drive_c/windows/twain_32/StiBridge")

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

w() { "$wine" "$@" </dev/null 3>&- 4>&-; }

# 32-bit programs run only on a kernel with IA-32 emulation and with wine32 installed.
runs_32bit() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

# The keys of the product in one registry view (64 or 32), one line per value:
# key|name|type|data, the key relative to HKEY_CLASSES_ROOT, sorted.
dump_keys() {
  local view=$1 key
  for key in "${product_keys[@]}"; do
    w reg query "HKCR\\$key" /s "/reg:$view" 2>/dev/null | tr -d '\r' | awk '
      /^HKEY_CLASSES_ROOT/ { sub(/^HKEY_CLASSES_ROOT\\/, ""); current = $0; next }
      /^    / { sub(/^    /, ""); n = split($0, f, "    ");
                 data = f[3]; for (i = 4; i <= n; ++i) data = data "    " f[i];
                 print current "|" f[1] "|" f[2] "|" data }' || true
  done | sort
}

expect_nothing_installed() {
  local path view
  for path in "${product_files[@]}"; do
    [ ! -e "$path" ] || fail "left behind: $path $(ls -R "$path")"
  done
  for view in 64 32; do
    [ -z "$(dump_keys "$view")" ] || fail "keys left in the $view-bit view: $(dump_keys "$view")"
  done
}

# The installed products of this package's upgrade code, by name and version.
installed_versions() {
  w reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    tr -d '\r' | awk '/^HKEY/ { name = ""; } /DisplayName/ { name = $3 " " $4 " " $5 }
                      /DisplayVersion/ && name == "STI Scanner Bridge" { print $3 }' | sort
}

# The sample client pulls every page of the default scenario's user through the installed server.
acquire() {
  w "$build/e2e/sim_setup.exe" install "Z:${root//\//\\}\\sim\\scenarios\\default.scn" >/dev/null
  w "$build/tools/sample_client.exe" --out "Z:${work//\//\\}\\scans" >"$work/client.txt" ||
    fail "the sample client failed: $(cat "$work/client.txt")"
  tail -1 "$work/client.txt"
}

msiexec() {
  local status=0
  w msiexec "$@" /qn || status=$?
  echo "$status"
}

case "$step" in
prefix)
  "$root/tools/wine-prefix.sh" init "$template" 3>&- 4>&-
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  cp -a "$template" "$WINEPREFIX"
  "$wineserver" -p 3>&- 4>&-
  w cmd /c exit 0 >/dev/null 2>&1
  # The server loads the simulated sti.dll that the tests place beside it.
  w reg add 'HKCU\Software\Wine\AppDefaults\StiScannerComBridge.exe\DllOverrides' /v sti \
    /d native,builtin /f >/dev/null
  expect_nothing_installed
  ;;

broken)
  # A truncated package and one with its header destroyed are refused and change nothing.
  head -c 200000 "$msi" >"$work/truncated.msi"
  { head -c 512 /dev/urandom; tail -c +513 "$msi"; } >"$work/malformed.msi"
  for broken in truncated malformed; do
    status=$(msiexec /i "Z:${work//\//\\}\\$broken.msi")
    [ "$status" != 0 ] || fail "msiexec took the $broken package"
    echo "$broken package refused: msiexec exit code $status"
  done
  expect_nothing_installed
  ;;

self-registration)
  # The keys the server's /RegServer and the proxy/stubs' DllRegisterServer write, with the files
  # where the package puts them; afterwards everything goes again.
  mkdir -p "$install_path/x86"
  cp "$build/package/stage/StiScannerComBridge.exe" "$build/package/stage/StiScannerComBridgePS.dll" \
    "$install_path/"
  cp "$build/package/stage/x86/StiScannerComBridgePS.dll" "$install_path/x86/"
  w "$install_dir\\StiScannerComBridge.exe" /RegServer
  w regsvr32 /s "$install_dir\\StiScannerComBridgePS.dll"
  dump_keys 64 >"$work/self-64.txt"
  if runs_32bit; then
    w 'C:\windows\syswow64\regsvr32.exe' /s "$install_dir\\x86\\StiScannerComBridgePS.dll"
    dump_keys 32 >"$work/self-32.txt"
    w 'C:\windows\syswow64\regsvr32.exe' /u /s "$install_dir\\x86\\StiScannerComBridgePS.dll"
  else
    # The 32-bit regsvr32 cannot run here: the x86 proxy/stub writes what the x64 one writes,
    # with its own path, in the 32-bit view.
    echo "this machine runs no 32-bit program: the 32-bit view's keys are the 64-bit ones"
    grep -v "^CLSID\\\\$server_clsid" "$work/self-64.txt" |
      sed 's/STI Scanner Bridge\\StiScannerComBridgePS.dll/STI Scanner Bridge\\x86\\StiScannerComBridgePS.dll/' \
      >"$work/self-32.txt"
  fi
  w "$install_dir\\StiScannerComBridge.exe" /UnregServer
  w regsvr32 /u /s "$install_dir\\StiScannerComBridgePS.dll"
  rm -rf "$drive_c/Program Files/tavrk"
  [ -s "$work/self-64.txt" ] || fail "self-registration wrote nothing"
  cat "$work/self-64.txt"
  expect_nothing_installed
  ;;

install)
  status=$(msiexec /i "Z:${msi//\//\\}")
  [ "$status" = 0 ] || fail "msiexec /i exit code $status"
  for file in "$install_path/StiScannerComBridge.exe" "$install_path/StiScannerComBridgePS.dll" \
              "$install_path/x86/StiScannerComBridgePS.dll" \
              "$drive_c/windows/twain_64/StiBridge/StiBridgeSource.ds" \
              "$drive_c/windows/twain_32/StiBridge/StiBridgeSource.ds"; do
    [ -f "$file" ] || fail "not installed: $file"
  done
  [ "$(installed_versions)" = "$version" ] || fail "installed: $(installed_versions)"

  # The package's keys are the self-registered ones, plus its AppID and ProgIDs.
  for view in 64 32; do
    dump_keys "$view" >"$work/package-$view.txt"
    diff <(awk -F'|' '!($2 == "AppID" && $1 ~ /^CLSID\\/) && $1 !~ /\\(ProgID|VersionIndependentProgID)$/ &&
                      $1 !~ /^AppID\\/ && $1 !~ /^tavrk\.twain\./' "$work/package-$view.txt") \
         "$work/self-$view.txt" ||
      fail "the package's keys in the $view-bit view differ from self-registration's"
  done
  for expected in "CLSID\\$server_clsid|AppID|REG_SZ|$server_clsid" \
                  "AppID\\StiScannerComBridge.exe|AppID|REG_SZ|$server_clsid" \
                  "tavrk.twain.CStiScannerComBridge\\CurVer|(Default)|REG_SZ|tavrk.twain.CStiScannerComBridge.1"; do
    grep -qF "$expected" "$work/package-64.txt" || fail "missing: $expected"
  done
  # The AppID's permissions are those the server's process security is built from.
  w "$build/installer/installer_security_blobs.exe" "Z:${work//\//\\}\\security.wxi"
  diff "$work/security.wxi" "$root/installer/security.wxi" ||
    fail "installer/security.wxi is not written from the server's SDDL any more"
  for permission in LaunchPermission AccessPermission; do
    blob=$(sed -n "s/.*$permission = #x\(.*\)?>/\1/p" "$work/security.wxi")
    grep -qF "$permission|REG_BINARY|$blob" "$work/package-64.txt" ||
      fail "the installed $permission is not the server's"
  done

  # The installed server and proxy/stub serve a client, with the simulated scanner beside them.
  cp "$build/e2e/sti.dll" "$install_path/"
  acquire
  [ "$(ls "$work/scans" | wc -l)" -gt 0 ] || fail "the sample client wrote no page"
  # The installed sources open where a source manager finds them, and hand on every page.
  sources=("x64|$build/tests/datasource/datasource_tests.exe|twain_64")
  if runs_32bit; then
    sources+=("x86|$build/x86/bin/datasource_tests.exe|twain_32")
  else
    echo "this machine runs no 32-bit program: the x86 source and proxy/stub are not run"
  fi
  for source in "${sources[@]}"; do
    IFS='|' read -r arch program folder <<<"$source"
    w "$program" --gtest_filter=SourceSession.TransfersEveryReadyJobOfTheUserNatively \
      "--e2e-dir=$build/e2e" "--scenario-dir=$root/sim/scenarios" \
      "--ds=C:\\windows\\$folder\\StiBridge\\StiBridgeSource.ds" >"$work/source-$arch.txt" ||
      fail "the installed $arch source does not serve the test application: $(cat "$work/source-$arch.txt")"
    echo "the installed $arch source: $(grep -F '[  PASSED  ]' "$work/source-$arch.txt")"
  done
  rm "$install_path/sti.dll"
  ;;

upgrade)
  # The next version replaces this one in place; the same again repairs; this one over the next
  # is refused.
  status=$(msiexec /i "Z:${next_msi//\//\\}")
  [ "$status" = 0 ] || fail "the upgrade's msiexec exit code $status"
  [ "$(installed_versions)" = "$next_version" ] || fail "after the upgrade: $(installed_versions)"
  [ -f "$install_path/StiScannerComBridge.exe" ] || fail "the upgrade removed the server"
  # The same version again repairs, the removed server comes back: still one product.
  rm "$install_path/StiScannerComBridge.exe"
  status=$(msiexec /i "Z:${next_msi//\//\\}" REINSTALL=ALL REINSTALLMODE=vomus)
  [ "$status" = 0 ] || fail "the repair's msiexec exit code $status"
  [ -f "$install_path/StiScannerComBridge.exe" ] || fail "the repair did not restore the server"
  [ "$(installed_versions)" = "$next_version" ] || fail "after the repair: $(installed_versions)"
  status=$(msiexec /i "Z:${msi//\//\\}")
  # ERROR_INSTALL_FAILURE, 1603 (Wine's exit status keeps its low 8 bits: 67).
  [ "$status" = 1603 ] || [ "$status" = 67 ] ||
    fail "the older version over the newer one: msiexec exit code $status"
  echo "the older version refused: msiexec exit code $status"
  [ "$(installed_versions)" = "$next_version" ] || fail "after the downgrade: $(installed_versions)"
  ;;

uninstall)
  # Uninstalled while the server is still in its grace after a client. The simulated scanner
  # beside it is the test's own, not the package's: it goes first.
  cp "$build/e2e/sti.dll" "$install_path/"
  acquire
  rm "$install_path/sti.dll"
  server='C:.Program Files.tavrk.STI Scanner Bridge.StiScannerComBridge.exe'
  pgrep -f "$server" >/dev/null || fail "the server was not running in its grace"
  status=$(msiexec /x "Z:${next_msi//\//\\}")
  [ "$status" = 0 ] || fail "msiexec /x exit code $status"
  ! pgrep -f "$server" >/dev/null || fail "the server still runs"
  [ -z "$(installed_versions)" ] || fail "still installed: $(installed_versions)"
  expect_nothing_installed
  ;;

end)
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  ;;

*)
  echo "usage: $0 BUILD prefix|broken|self-registration|install|upgrade|uninstall|end" >&2
  exit 2
  ;;
esac
