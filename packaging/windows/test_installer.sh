#!/usr/bin/env bash
# The Windows installer under Wine, in a prefix of this test's own:
#  - installs silently (/S) and puts the programs, the Qt DLLs, the two
#    plugins and the MinGW runtime in the folder, the uninstaller beside
#    them, and a Start-menu entry that passes --user-data;
#  - the installed qrvterm-run.exe, with --user-data, writes the example set
#    into the user's documents on its first start and passes it on the
#    simulated module (exit 0, every command passed in its JSON report);
#  - the uninstaller removes the program's folder and menu entry and leaves
#    the user's command sets.
#
#   test_installer.sh SETUP.exe VERSION
set -uo pipefail
setup=$1
version=$2
here=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$(mktemp -d /tmp/qrv-installer-XXXXXX)
trap 'WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1; rm -rf "$prefix"' EXIT
export QRV_WINEPREFIX=$prefix WINEPREFIX=$prefix WINEDEBUG=-all
fail() { echo "FAIL: $*"; exit 1; }

[ -f "$setup" ] || fail "no installer at $setup"
echo "installer: $(stat -c %s "$setup") bytes ($(basename "$setup"))"
"$here/tools/wine-run.sh" --prepare || fail "cannot make the Wine prefix"

wine "$setup" /S '/D=C:\qrvterm' >/dev/null 2>&1
wineserver -w
folder=$prefix/drive_c/qrvterm
for file in qrvterm.exe qrvterm-run.exe uninstall.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll Qt6Network.dll \
            Qt6SerialPort.dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll platforms/qwindows.dll \
            styles/qwindowsvistastyle.dll; do
  [ -f "$folder/$file" ] || fail "not installed: $file"
done
echo "installed: $(du -sb "$folder" | cut -f1) bytes in $(find "$folder" -type f | wc -l) files"
menu=$(find "$prefix/drive_c" -path '*Start Menu*' -name 'qrvterm.lnk' | head -1)
[ -n "$menu" ] || fail "no Start-menu entry"
# A shell link keeps its arguments in UTF-16.
python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); sys.exit(0 if "--user-data".encode("utf-16-le") in d else 1)' \
  "$menu" || fail "the Start-menu entry does not pass --user-data"

# The installed runner on the simulated module (in-process), from a folder
# without a Module folder: --user-data makes the example set in Documents.
report=$prefix/drive_c/report.json
(cd "$prefix/drive_c" && wine 'C:\qrvterm\qrvterm-run.exe' --user-data --port "Simulated module" \
    --json 'C:\report.json' example >/dev/null 2>&1)
status=$?
wineserver -w
[ "$status" -eq 0 ] || fail "the installed qrvterm-run.exe ended with $status"
[ -f "$report" ] || fail "no JSON report"
sets=$(find "$prefix/drive_c/users" -path '*Documents/qrvterm/Module/example.ini' | head -1)
[ -n "$sets" ] || fail "no example set in the user's documents"
python3 - "$report" <<'PY' || fail "the report does not pass every command"
import json, sys
report = json.load(open(sys.argv[1], encoding="utf-8"))
modules = report.get("modules") or [report]
commands = [c for m in modules for c in m.get("commands", [])]
assert commands, "no commands"
bad = [c for c in commands if c.get("outcome") != "passed"]
assert not bad, bad
print(f"installed runner: {len(commands)} commands passed")
PY

wine 'C:\qrvterm\uninstall.exe' /S >/dev/null 2>&1
wineserver -w
[ ! -e "$folder/qrvterm.exe" ] || fail "the uninstaller left qrvterm.exe"
[ ! -d "$folder" ] || fail "the uninstaller left the folder: $(ls -R "$folder")"
[ -z "$(find "$prefix/drive_c" -path '*Start Menu*' -name 'qrvterm*.lnk')" ] || fail "the menu entry stayed"
[ -f "$sets" ] || fail "the uninstaller removed the user's command sets"
echo "PASS: installed, ran the example set, uninstalled (user's sets kept)"
