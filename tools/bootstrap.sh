#!/usr/bin/env bash
# Sets up a Debian 12 machine for the terminal and then builds and runs it,
# or builds and runs the test suite.
#
#   tools/bootstrap.sh run     install what is missing, build, start the terminal
#   tools/bootstrap.sh test    install what is missing, build, run every test (CTest)
#   tools/bootstrap.sh asan    the same tests built with AddressSanitizer + UBSan
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-run}
packages=(build-essential cmake qt6-base-dev qt6-serialport-dev libgl-dev
          fonts-wqy-microhei libxkbcommon-x11-0 libxcb-cursor0)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)
case "$mode" in
  run)
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j"$jobs" --target qrvterm qrvsim-cli
    exec build/src/qrvterm --port "Simulated module"
    ;;
  test)
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j"$jobs"
    QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure
    ;;
  asan)
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQRV_SANITIZE=address,undefined
    cmake --build build-asan -j"$jobs"
    QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --test-dir build-asan --output-on-failure
    ;;
  *)
    echo "usage: $0 run|test|asan" >&2
    exit 2
    ;;
esac
