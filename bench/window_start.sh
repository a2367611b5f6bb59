#!/usr/bin/env bash
# Time from starting the terminal to its window on the screen, for the Linux
# build and for the Windows build under Wine, on the same virtual display
# (Xvfb, started here on a free display number) in the same run: each start
# is timed until the window is mapped (xdotool, asked every 10 ms), then the
# program is ended.
# The Wine starts are timed with Wine's server already running (as for a
# user's second program); the very first Wine start, which also starts the
# server, is told apart.
#
#   bench/window_start.sh [RUNS]      (after tools/bootstrap.sh windows; needs xvfb, xdotool)
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
linux=$here/build/src/qrvterm
windows=$here/build-win/b/src/qrvterm.exe
for program in "$linux" "$windows"; do
  [ -e "$program" ] || { echo "missing $program" >&2; exit 2; }
done
display=:$((90 + RANDOM % 8))
Xvfb "$display" -screen 0 1280x1024x24 >/dev/null 2>&1 &
xvfb=$!
work=$(mktemp -d /tmp/qrv-start-XXXXXX)
cleanup() { kill "$xvfb" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
export DISPLAY=$display
sleep 1
export WINEPREFIX=${QRV_WINEPREFIX:-$here/build-win/wineprefix}

# start KIND: milliseconds to the window.
start() {
  local kind=$1 begin end pid
  begin=$(date +%s%N)
  if [ "$kind" = linux ]; then
    (cd "$work" && QT_QPA_PLATFORM=xcb exec "$linux" --no-web-view) >/dev/null 2>&1 &
  else
    (cd "$work" && exec "$here/tools/wine-run.sh" "$windows" -platform windows --no-web-view) >/dev/null 2>&1 &
  fi
  pid=$!
  # (xdotool's own --sync looks only every 500 ms.)
  for _ in $(seq 3000); do
    xdotool search --onlyvisible --name 'QRV' >/dev/null 2>&1 && break
    sleep 0.01
  done
  end=$(date +%s%N)
  echo $(((end - begin) / 1000000))
  if [ "$kind" = linux ]; then
    kill "$pid" 2>/dev/null
  else
    pkill -f 'qrvterm.exe' 2>/dev/null
  fi
  wait "$pid" 2>/dev/null
  sleep 0.5
}

wineserver -k >/dev/null 2>&1
"$here/tools/wine-run.sh" --prepare
wineserver -k >/dev/null 2>&1
cold=$(start wine)
wineserver -p 60 >/dev/null 2>&1   # keep the server between the starts
declare -a L W
for _ in $(seq "$runs"); do
  L+=("$(start linux)")
  W+=("$(start wine)")
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
echo "window on screen, ms (median of $runs; each run: ${L[*]} | ${W[*]})"
echo "linux (xcb)           $(median "${L[@]}")"
echo "windows under Wine    $(median "${W[@]}")   (first start with Wine's server: $cold)"
wineserver -k >/dev/null 2>&1
