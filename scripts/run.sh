#!/usr/bin/env bash
# Installs what is missing, builds what the run needs and starts wharfpanel under Wine, in a
# prefix of its own (build/run-prefix) where wharfcore.dll is registered, the test driver package
# is installed and a simulated server sharing COM1 and COM2 announces itself as ".", so that the
# program shows a discovered server whose ports can be connected at once. The directory object
# picker's stand-in asks for a computer's name, so that Add Server… can be walked by hand.
#
# With an X display the program runs there until it is closed. Without one it runs on a private
# Xvfb display for a few seconds, a screenshot is saved as build/wharfpanel-run.png, and it ends.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
bash "$root/scripts/install-deps.sh"
# The two deliverables and the stand-ins the run installs, not the tests.
bash "$root/scripts/build.sh" "$build" wharfcore wharfpanel double_msports double_newdev wharf_test_driver \
  port_doubles_setup wharf_sim_server picker_double

# The program's folder: wharfpanel.exe and wharfcore.dll, with the stand-in of the COM port
# database beside them (the library's import finds it there). The stand-in of the device
# installer goes into the prefix's system folder, where the library loads it from; the set-up
# tool below puts it there from this folder. The picker's stand-in is registered from here.
stage="$build/run"
mkdir -p "$stage"
cp "$build/panel/wharfpanel.exe" "$build/clientlib/wharfcore.dll" "$build/tests/msports.dll" \
   "$build/tests/newdev.dll" "$build/tests/wharf_sim_server.exe" "$build/tests/port_doubles_setup.exe" \
   "$build/tests/picker_double.dll" "$stage/"
rm -rf "$stage/wharfdrv"
cp -r "$build/tests/wharfdrv" "$stage/wharfdrv"

export WHARF_WINEPREFIX="$build/run-prefix"
headless=0
xvfb_pid=""
server_pid=""
stop_all() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  WINEPREFIX="$WHARF_WINEPREFIX" /usr/lib/wine/wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap stop_all EXIT
if [ -z "${DISPLAY:-}" ]; then
  headless=1
  # A display of this run's own: the server picks a number no other X server holds.
  number_file="$build/.run-xvfb"
  Xvfb -displayfd 8 -screen 0 1280x1024x24 -nolisten tcp 8>"$number_file" </dev/null >/dev/null 2>&1 &
  xvfb_pid=$!
  num=""
  for _ in $(seq 300); do read -r num 2>/dev/null <"$number_file" && break; sleep 0.1; done
  rm -f "$number_file"
  if [ -z "$num" ]; then
    echo "no virtual display could be started (Xvfb)" >&2
    exit 1
  fi
  export DISPLAY=":$num"
fi
run() { "$build/wine-run.sh" "$@"; }
winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }

run regsvr32 /s "$(winpath "$stage/wharfcore.dll")"
run "$stage/port_doubles_setup.exe" >/dev/null
# The picker's stand-in in place of Wine's picker (whose dialog returns nothing at once),
# registered as the tests register it, and told to ask for the computer's name.
picker_reg="$stage/picker.reg"
{
  printf 'REGEDIT4\r\n\r\n'
  printf '[HKEY_CLASSES_ROOT\\CLSID\\{17D6CCD8-3B7B-11D2-B9E0-00C04FD8DBF7}\\InprocServer32]\r\n'
  printf '@="%s"\r\n' "$(winpath "$stage/picker_double.dll" | sed 's/\\/\\\\/g')"
  printf '"ThreadingModel"="Both"\r\n\r\n'
  printf '[HKEY_LOCAL_MACHINE\\Software\\WharfTest\\Doubles]\r\n'
  printf '"PickerAsksForName"=dword:00000001\r\n'
} >"$picker_reg"
run regedit /s "$(winpath "$picker_reg")"

run "$stage/wharf_sim_server.exe" --port COM1=1 --port COM2=2 --announce-ms 500 --discovery 1 \
  --lifetime-ms 86400000 >/dev/null 2>&1 &
server_pid=$!

export WHARF_DLLOVERRIDES="msports,newdev=n,b"
if [ "$headless" -eq 0 ]; then
  run "$stage/wharfpanel.exe" || true
else
  run "$stage/wharfpanel.exe" >/dev/null 2>&1 &
  sleep 15
  import -display "$DISPLAY" -window root "$build/wharfpanel-run.png"
  echo "wharfpanel ran on a private display (no DISPLAY is set); screenshot: $build/wharfpanel-run.png"
fi
