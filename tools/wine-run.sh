#!/usr/bin/env bash
# Runs a Windows program of the Windows build under Wine, as CTest's
# emulator for the cross-built tests:
#
#   tools/wine-run.sh PROGRAM.exe [ARGUMENTS...]
#   tools/wine-run.sh --prepare      only make the prefix
#
# The Wine prefix is the build's own (QRV_WINEPREFIX, else
# build-win/wineprefix), made on first use, with its own Documents and the
# like (Wine would link them to the Unix home). Wine links COM1 to /dev/ttyS0,
# which on many Linux machines is the kernel's console: the prefix takes COM1
# to COM8 (the Port list's first entries) out of Wine's port scan, so none of
# them leads to a device, and no test opens a COM port it did not link
# itself. (Wine gives the console the next free number, COM9.)
#
# Qt's DLLs come from the Qt for MinGW-w64 beside the build (QRV_QT_MINGW,
# else build-win/qt6-mingw). Wine does not pass QT_* variables on to Windows
# programs: the prefix sets QT_QPA_PLATFORM=offscreen in the user's
# environment instead (a program given -platform windows shows on $DISPLAY).
# The offscreen platform on Windows reads fonts from one folder
# (QT_QPA_FONTDIR): the prefix's C:\qrvfonts holds links to the Linux fonts
# the Linux tests measure with (DejaVu, WenQuanYi Micro Hei).
# A Windows console program's output written to a pipe is lost under Wine,
# so a test (test_*.exe) writes its results to a file that is printed here.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${QRV_WINEPREFIX:-$here/build-win/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
qt=${QRV_QT_MINGW:-$here/build-win/qt6-mingw}

ready=$WINEPREFIX/.qrv-ready-2
if [ ! -f "$ready" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  for n in 1 2 3 4 5 6 7 8; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "" /f >/dev/null 2>&1
  done
  # Headless by default: the programs' window (or a test's) needs no display.
  # A program started with -platform windows shows on $DISPLAY.
  wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /t REG_SZ /d offscreen /f >/dev/null 2>&1
  mkdir -p "$WINEPREFIX/drive_c/qrvfonts"
  for font in /usr/share/fonts/truetype/dejavu/DejaVuSans*.ttf /usr/share/fonts/truetype/wqy/*.tt[cf]; do
    [ -f "$font" ] && ln -sf "$font" "$WINEPREFIX/drive_c/qrvfonts/"
  done
  wine reg add 'HKCU\Environment' /v QT_QPA_FONTDIR /t REG_SZ /d 'C:\qrvfonts' /f >/dev/null 2>&1
  wineserver -w
  rm -f "$WINEPREFIX"/dosdevices/com[1-8]
  # Wine links the user's Documents, Desktop and the like to the Unix home:
  # the prefix gets folders of its own, so nothing a program writes there
  # leaves it.
  for link in "$WINEPREFIX"/drive_c/users/*/*; do
    if [ -L "$link" ]; then
      rm -f "$link"
      mkdir -p "$link"
    fi
  done
  touch "$ready"
fi
for n in 1 2 3 4; do
  if [ -L "$WINEPREFIX/dosdevices/com$n" ]; then
    echo "wine-run: $WINEPREFIX/dosdevices/com$n exists; refusing to run" >&2
    exit 2
  fi
done
[ "${1:-}" = --prepare ] && exit 0
export WINEPATH
WINEPATH=$(winepath -w "$qt/bin" 2>/dev/null)

program=$1
shift
case "$(basename "$program")" in
  test_*.exe)
    results=$(mktemp --suffix=.txt)
    wine "$program" "$@" -o "$(winepath -w "$results"),txt" >/dev/null 2>&1
    status=$?
    cat "$results"
    rm -f "$results"
    exit $status
    ;;
  *)
    exec wine "$program" "$@"
    ;;
esac
