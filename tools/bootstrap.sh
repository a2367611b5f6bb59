#!/usr/bin/env bash
# Sets up a Debian 12 machine for the terminal and then builds and runs it,
# or builds and runs the test suite.
#
#   tools/bootstrap.sh run     install what is missing, build, start the terminal
#   tools/bootstrap.sh test    install what is missing, build, run every test (CTest)
#   tools/bootstrap.sh asan    the same tests built with AddressSanitizer + UBSan
#   tools/bootstrap.sh fuzz    every libFuzzer target (clang), QRV_FUZZ_SECONDS each (30)
#   tools/bootstrap.sh windows the Windows programs cross-built with MinGW-w64 (needs Qt for
#                              MinGW-w64: QRV_TOOLCHAINS, else ../shared/toolchains), their
#                              tests under Wine, the installer and the zip
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-run}
packages=(build-essential cmake qt6-base-dev qt6-serialport-dev libgl-dev
          fonts-wqy-microhei libxkbcommon-x11-0 libxcb-cursor0
          qt6-webengine-dev libgl1-mesa-dri)

# The tests run the web panel's view on a virtual display too.
[ "$mode" = test ] && packages+=(xvfb xauth)

[ "$mode" = fuzz ] && packages+=(clang-14 libclang-rt-14-dev)
# The Windows build: Debian's MinGW-w64 compilers, Qt's host tools (moc, rcc,
# uic) for the Windows Qt, Wine to run the programs, NSIS for the installer;
# its end-to-end test puts the Linux qrvsim behind ser2net and compares with
# the Linux runner, so the Linux build's packages too.
[ "$mode" = windows ] && packages+=(ninja-build g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
                                   mingw-w64-tools qt6-base-dev-tools wine wine64 fonts-wine nsis zip xz-utils ser2net python3)
# The test suite builds the Debian package (CPack, dpkg-shlibdeps, file) and
# validates its menu entry, its metainfo, its manual pages, and lintian judges it.
case "$mode" in test|asan) packages+=(dpkg-dev desktop-file-utils file lintian appstream groff-base) ;; esac
# The network-port tests put a real ser2net (started by each test with its own
# configuration) in front of the simulated module.
case "$mode" in test|asan) packages+=(ser2net) ;; esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
  # Installed here only for the tests: the service Debian enables with it
  # would serve /dev/ttyS0 on localhost:2000 (its sample configuration).
  if [[ " ${missing[*]} " == *" ser2net "* ]] && command -v systemctl >/dev/null \
     && [ -d /run/systemd/system ]; then
    $SUDO systemctl disable --now ser2net.service >/dev/null 2>&1 || true
  fi
fi

jobs=$(nproc)
case "$mode" in
  run)
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j"$jobs" --target qrvterm qrvterm-run qrvsim-cli
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
  fuzz)
    # Each target runs from its seed corpus (tests/fuzz/corpus/<name>) plus a
    # scratch corpus, so the repository's corpus is not changed.
    cmake -S tests/fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build-fuzz -j"$jobs"
    seconds=${QRV_FUZZ_SECONDS:-30}
    mkdir -p build-fuzz/artifacts
    passed=0; failed=0
    for target in build-fuzz/fuzz_*; do
      [ -x "$target" ] || continue
      name=$(basename "$target"); name=${name#fuzz_}
      scratch=$(mktemp -d)
      echo "== fuzz $name for ${seconds}s"
      if "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/ \
           "$scratch" "tests/fuzz/corpus/$name" 2>build-fuzz/$name.log; then
        passed=$((passed + 1))
        grep -E '^(Done|stat::number_of_executed_units)' build-fuzz/$name.log || true
      else
        failed=$((failed + 1))
        tail -40 build-fuzz/$name.log
      fi
      rm -rf "$scratch"
    done
    echo "fuzz: $passed passed, $failed failed"
    [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
    ;;
  windows)
    toolchains=${QRV_TOOLCHAINS:-}
    if [ -z "$toolchains" ]; then
      for candidate in ../shared/toolchains /work/shared/toolchains; do
        [ -f "$candidate/qt6.4.2-mingw-w64.tar.xz" ] && { toolchains=$(cd "$candidate" && pwd); break; }
      done
    fi
    if [ -z "$toolchains" ] || [ ! -f "$toolchains/qt6.4.2-mingw-w64.tar.xz" ]; then
      echo "No Qt for MinGW-w64 (qt6.4.2-mingw-w64.tar.xz): set QRV_TOOLCHAINS to its folder" >&2
      exit 2
    fi
    # The Linux simulated module and runner, for the end-to-end test.
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j"$jobs" --target qrvsim-cli qrvterm-run
    mkdir -p build-win
    [ -d build-win/qt6-mingw ] || tar -C build-win -xf "$toolchains/qt6.4.2-mingw-w64.tar.xz"
    cmake -S . -B build-win/b -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$toolchains/mingw-w64.cmake" -DCMAKE_PREFIX_PATH="$PWD/build-win/qt6-mingw" \
      -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
      -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/tools/wine-run.sh" -DQRV_LINUX_BUILD="$PWD/build"
    cmake --build build-win/b -j"$jobs"
    ctest --test-dir build-win/b --output-on-failure
    ;;
  *)
    echo "usage: $0 run|test|asan|fuzz|windows" >&2
    exit 2
    ;;
esac
