#!/usr/bin/env bash
# The bash completion of qrvterm and qrvterm-run: it offers every option
# --help lists and no other, the option values, the ports of a made-up
# device tree (by-id names, device paths, "Simulated module") and the module
# types of ./Module.
#
#   completion.sh SOURCE_DIR QRVTERM QRVTERM_RUN
set -euo pipefail
source_dir=$1 qrvterm=$2 runner=$3
fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/root/dev/serial/by-id" "$work/cwd/Module/lab"
touch "$work/root/dev/ttyUSB0" "$work/root/dev/ttyACM1"
ln -s ../../ttyUSB0 "$work/root/dev/serial/by-id/usb-Maker_Modem-if02-port0"
printf '[example]\r\ncmdnum=1\r\ncmd1=AT\r\n' > "$work/cwd/Module/example.ini"
printf '[bench]\r\ncmdnum=1\r\ncmd1=AT\r\n' > "$work/cwd/Module/lab/bench.ini"
export QRV_DEVICE_ROOT=$work/root
cd "$work/cwd"
# shellcheck source=/dev/null
source "$source_dir/resources/completion/qrvterm.bash"

# complete FUNCTION WORD...: the completions of the last word.
complete_words() {
  local fn=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  "$fn"
  printf '%s\n' "${COMPREPLY[@]}" | sort
}

help_options() {
  QT_QPA_PLATFORM=offscreen "$1" --help 2>/dev/null | sed -nE 's/^  +(-[a-zA-Z], )?(--[a-z][a-z-]*).*/\2/p' | sort -u
}

for pair in "_qrvterm $qrvterm qrvterm" "_qrvterm_run $runner qrvterm-run"; do
  read -r fn program name <<<"$pair"
  offered=$(complete_words "$fn" "$name" --)
  [ "$offered" = "$(help_options "$program")" ] ||
    fail "$name: completion and --help differ: $(diff <(echo "$offered") <(help_options "$program") || true)"
  echo "$name: $(wc -l <<<"$offered") options, as --help"
done

ports=$(complete_words _qrvterm_run qrvterm-run --port "")
expected='"Simulated module"
/dev/serial/by-id/usb-Maker_Modem-if02-port0
/dev/ttyACM1
/dev/ttyUSB0'
[ "$ports" = "$expected" ] || fail "ports: $ports"
[ "$(complete_words _qrvterm qrvterm --port /dev/serial/)" = /dev/serial/by-id/usb-Maker_Modem-if02-port0 ] ||
  fail "ports by prefix: $(complete_words _qrvterm qrvterm --port /dev/serial/)"
[ "$(complete_words _qrvterm qrvterm --port '"Sim')" = '"Simulated module"' ] || fail "quoted simulated module"
[ "$(complete_words _qrvterm_run qrvterm-run --end C)" = "$(printf 'CR\nCRLF')" ] || fail "--end values"
[ "$(complete_words _qrvterm_run qrvterm-run --port /dev/ttyUSB0 "")" = "$(printf 'example\nlab/bench')" ] ||
  fail "module types: $(complete_words _qrvterm_run qrvterm-run --port /dev/ttyUSB0 "")"
[ "$(complete_words _qrvterm_run qrvterm-run ex)" = example ] || fail "module type by prefix"
echo "ports, values and module types offered"
