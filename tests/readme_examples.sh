#!/usr/bin/env bash
# The README's examples of qrvterm-run and qrvsim, run here against the
# simulated module: each block marked "<!-- example: NAME -->" in README.md
# is run in a folder of its own (with ./Module made, and the files the
# README shows under "<!-- example-file: NAME PATH -->"), and what the
# programs print must have the block's shape. What varies from run to run is
# masked on both sides (times, dates, ptys, the folder before Module/, the
# host); the rest is compared line by line. A line "..." in a block stands
# for lines left out. With several modules each module's lines are compared
# in their own order (the modules run at once). No real serial device is
# opened: an example that names one is run on the simulated module instead,
# or skipped, as said below.
#
#   readme_examples.sh SOURCE_DIR QRVTERM_RUN QRVSIM
set -euo pipefail
source_dir=$(realpath "$1") runner=$(realpath "$2") sim=$(realpath "$3")
readme=$source_dir/README.md
export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES='qt.qpa.*=false'

work=$(mktemp -d)
sim_pids=()
cleanup() {
  local p
  for p in "${sim_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The examples this script knows; each must still be in the README.
known=(probe sim-pty sim-link run-reports bench reconnect rack)
# Commands of the README that are not run, with why.
declare -A skip=(
  ["probe|build/src/qrvterm-run --probe"]="it probes this machine's USB and ACM ports (real modules); the simulated module's line is run instead"
)
# Sets the README names but does not show, as its output lists them.
write_sets() { # NAME DIR
  case $1 in
    reconnect) printf '[reset]\r\ncmdnum=4\r\ncmd1=AT\r\ncmd2=AT+CFUN=1,1\r\ncmd3=ATI\r\ncmd4=AT+CSQ\r\n' >"$2/reset.ini" ;;
    rack) printf '[bench]\r\ncmdnum=6\r\ncmd1=ATE0\r\ncmd2=AT+CGSN\r\ncmd3=AT+CCID\r\ncmd4=AT+CGMR\r\ncmd5=AT+CSQ\r\ncmd6=AT+QSIMURC=300,"+CREG: 1"\r\n' \
            >"$2/Module/bench.ini" ;;
  esac
}

# What varies between runs and machines, masked alike in the README's text
# and in the programs' output.
mask() {
  sed -E -e 's/\r$//' -e 's/[[:space:]]+$//' \
    -e 's/ +[0-9]+ ms\b/ N ms/g' -e 's/\([0-9]+ ms\b/(N ms/g' \
    -e 's/\b[0-9]+\.[0-9]+ s\b/N s/g' \
    -e 's#/dev/pts/[0-9]+#/dev/pts/N#g' \
    -e 's/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}/DATE/g' \
    -e 's#(^|[ (])/[^ :]*/Module/#\1DIR/Module/#g' \
    -e 's/^(Simulated module,[^,]*,[^,]*,)[^,]*,/\1HOST,/'
}

# shape EXPECTED ACTUAL (both masked): whether ACTUAL has EXPECTED's lines,
# "..." standing for any lines; lines prefixed "[module] " are compared per
# module. Prints what did not match.
shape() {
  awk '
    function key(line) { return match(line, /^\[[-_.a-zA-Z0-9]+\] /) ? substr(line, 1, RLENGTH) : "" }
    function add(k) { if (!(k in seen)) { seen[k] = 1; keys[++nk] = k; ne[k] = 0; na[k] = 0; lastgap[k] = 0 } }
    FILENAME == ARGV[1] {
      if ($0 == "...") { gap++; next }
      k = key($0); add(k)
      if (gap > lastgap[k]) e[k, ++ne[k]] = "..."
      lastgap[k] = gap
      e[k, ++ne[k]] = $0
      next
    }
    {
      k = key($0)
      if (!(k in seen)) { if (!(k in extra)) print "output has lines the README does not show: " $0; extra[k] = 1; bad = 1; add(k) }
      a[k, ++na[k]] = $0
    }
    END {
      for (s = 1; s <= nk; s++) {
        k = keys[s]
        if (gap > lastgap[k]) e[k, ++ne[k]] = "..."
        pos = 1; open = 0; i = 1; missed = 0
        while (i <= ne[k]) {
          if (e[k, i] == "...") { open = 1; i++; continue }
          j = i; while (j <= ne[k] && e[k, j] != "...") j++
          len = j - i; found = 0
          if (!open) { from = pos; to = pos } else if (j > ne[k]) { from = na[k] - len + 1; to = from } else { from = pos; to = na[k] - len + 1 }
          for (st = from; st <= to && !found && st >= pos; st++) {
            ok = 1
            for (m = 0; m < len && ok; m++) if (a[k, st + m] != e[k, i + m]) ok = 0
            if (ok && st + len - 1 <= na[k]) { found = 1; pos = st + len }
          }
          if (!found) {
            # Where the lines start at a known place, the first that differs.
            m = 0
            if (!open) while (m < len - 1 && pos + m <= na[k] && a[k, pos + m] == e[k, i + m]) m++
            print "not in the output as the README shows it: " e[k, i + m]; bad = 1; missed = 1; break
          }
          open = 0; i = j
        }
        if (!missed && !open && pos != na[k] + 1) { print "output goes on where the README does not: " a[k, pos]; bad = 1 }
      }
      exit bad
    }' "$1" "$2"
}

# The marked blocks: blocks/NAME, its README line in lines/NAME, files/NAME.list.
mkdir -p "$work/blocks" "$work/lines" "$work/files"
awk -v out="$work" '
  /^<!-- example: [-a-z0-9]+ -->$/ { pending = $3; file = ""; at = NR; next }
  /^<!-- example-file: [-a-z0-9]+ [^ ]+ -->$/ { pending = $3; file = $4; at = NR; next }
  /^```/ {
    if (!inblock) {
      inblock = 1; name = pending; target = file; start = NR; pending = ""; runnable = 0
      if (name == "") next
      if (target == "") { dest = out "/blocks/" name; print NR > (out "/lines/" name) }
      else { dest = out "/files/" name "." (++nfiles); print target " " dest > (out "/files/" name ".list") }
      printf "" > dest
      next
    }
    inblock = 0
    if (name == "" && runnable) print "UNMARKED " start
    next
  }
  inblock { if (name != "") print > dest; if ($0 ~ /^(\$ )?build\/(src\/qrvterm-run|sim\/qrvsim)/) runnable = 1; next }
  pending != "" && $0 != "" { print "MARKER " at; pending = "" }
' "$readme" >"$work/extract"
while read -r what line; do
  case $what in
    UNMARKED) fail "README.md:$line: a block of qrvterm-run or qrvsim commands without a <!-- example: NAME --> line before it" ;;
    MARKER) fail "README.md:$line: the marker is not followed by a block" ;;
  esac
done <"$work/extract"
for name in "${known[@]}"; do
  [ -f "$work/blocks/$name" ] || fail "README.md no longer has the example \"$name\""
done

# One example's folder: ./Module as the terminal makes it on first start
# (the example set; a fresh clone has no ./Module), the files the README
# shows for it, the sets it names.
prepare() { # NAME [FOLDER] -> DIR
  local dir=$work/run/${2:-$1} target src
  mkdir -p "$dir/Module"
  printf '[example]\r\ncmdnum=6\r\ncmd1=AT\r\ncmd2=ATE0\r\ncmd3=AT+CMGF=1\r\ncmd4=AT+CSCA?\r\ncmd5=AT+CMGR=1\r\ncmd6=AT+CMGD=1\r\n' \
    >"$dir/Module/example.ini"
  if [ -f "$work/files/$1.list" ]; then
    while read -r target src; do
      mkdir -p "$(dirname "$dir/$target")"
      case $target in
        *.ini) sed 's/$/\r/' "$src" >"$dir/$target" ;; # as the terminal writes them
        *) cp "$src" "$dir/$target" ;;
      esac
    done <"$work/files/$1.list"
  fi
  write_sets "$1" "$dir"
  echo "$dir"
}

# compare NAME WHAT EXPECTED ACTUAL: the shape, and a diff when it differs.
compare() {
  mask <"$3" >"$3.masked"
  mask <"$4" >"$4.masked"
  local said
  if said=$(shape "$3.masked" "$4.masked"); then
    echo "ok: $1: $2"
  else
    fail "$1 (README.md:$(cat "$work/lines/$1")): $2: $said"
    echo "--- README (masked)  +++ output (masked)"
    diff -u "$3.masked" "$4.masked" | tail -n +3 || true
  fi
}

# A qrvterm-run command of the README, as run here. Only the simulated module.
runner_command() { # COMMAND -> the command with this build's path
  local cmd=$1
  [[ $cmd == 'build/src/qrvterm-run '* ]] || return 1
  [[ $cmd != *[\;\&\|\<\>\$\`]* ]] || return 1
  [[ $cmd == *'--port "Simulated module"'* && $cmd != *--ports* ]] || return 1
  [[ $(grep -o -- '--port ' <<<"$cmd" | wc -l) == 1 ]] || return 1
  printf '%q%s' "$runner" "${cmd#build/src/qrvterm-run}"
}

# A block of "$ command" lines, each followed by what it prints.
run_session() { # NAME
  local name=$1 dir n=-1 line next cmd status=0 run
  dir=$(prepare "$name")
  local -a cmds=()
  while IFS= read -r line; do
    if [[ $line == '$ '* ]]; then
      cmd=${line#\$ }
      while [[ $cmd == *\\ ]] && IFS= read -r next; do
        cmd="${cmd%\\} ${next#"${next%%[! ]*}"}"
      done
      cmd=$(tr -s ' ' <<<"$cmd")
      n=$((n + 1))
      cmds[n]=$cmd
      : >"$dir/expected.$n"
    elif ((n < 0)); then
      fail "$name: the block shows output before any command"
      return
    else
      printf '%s\n' "$line" >>"$dir/expected.$n"
    fi
  done <"$work/blocks/$name"
  for ((i = 0; i <= n; i++)); do
    cmd=${cmds[i]}
    : >"$dir/actual.$i"
    if [ -n "${skip[$name|$cmd]:-}" ]; then
      echo "skipped: $name: \$ $cmd: ${skip[$name|$cmd]}"
      continue
    fi
    case $cmd in
      'echo $?') echo "$status" >"$dir/actual.$i" ;;
      cat\ *)
        [[ ${cmd#cat } =~ ^[-A-Za-z0-9_.]+$ ]] || { fail "$name: will not run \$ $cmd"; continue; }
        tr -d '\r' <"$dir/${cmd#cat }" >"$dir/actual.$i" 2>&1 || echo "(no file ${cmd#cat })" >"$dir/actual.$i" ;;
      *)
        run=$(runner_command "$cmd") || { fail "$name: will not run \$ $cmd (only qrvterm-run on --port \"Simulated module\")"; continue; }
        status=0
        (cd "$dir" && eval "timeout 60 $run" </dev/null >"$dir/actual.$i" 2>&1) || status=$?
        ;;
    esac
    compare "$name" "\$ $cmd" "$dir/expected.$i" "$dir/actual.$i"
  done
}

# Waits until FILE has LINES lines (at most 5 s).
wait_lines() {
  for _ in $(seq 50); do
    [ "$(wc -l <"$1")" -ge "$2" ] && return 0
    sleep 0.1
  done
  return 1
}

# Sends COMMAND to the module on DEVICE and waits for the line ANSWER (3 s),
# as a terminal program would; with FILE and LINES, then keeps the device
# open until FILE has LINES lines (5 s), as a program that follows the module.
talk() { # DEVICE COMMAND ANSWER [FILE LINES]
  (
    exec 3<>"$1"
    stty raw -echo <&3 # on this open file: the module may take a close for a new terminal
    printf '%s\r' "$2" >&3
    while IFS= read -r -t 3 line <&3; do
      if [ "${line%$'\r'}" = "$3" ]; then
        [ $# -lt 5 ] || wait_lines "$4" "$5" || true
        exit 0
      fi
    done
    exit 1
  )
}

# The qrvsim line of a block: "build/sim/qrvsim ARGS &  # COMMENT".
sim_line() { # NAME -> sets sim_args, sim_comment
  local line
  line=$(grep -m1 '^build/sim/qrvsim ' "$work/blocks/$1") || { fail "$1: no qrvsim line"; return 1; }
  [[ $line =~ ^build/sim/qrvsim\ ([^\&#]*)\&\ +#\ (.*)$ ]] || { fail "$1: cannot read \"$line\""; return 1; }
  sim_args=${BASH_REMATCH[1]% } sim_comment=${BASH_REMATCH[2]}
  sim_args=${sim_args%"${sim_args##*[! ]}"}
  [[ $sim_args =~ ^[-\ A-Za-z0-9/._]*$ ]] || { fail "$1: will not run qrvsim $sim_args"; return 1; }
}

start_sim() { # DIR ARGS...
  local dir=$1
  shift
  "$sim" "$@" >"$dir/sim.out" 2>"$dir/sim.err" &
  sim_pids+=($!)
  sim_pid=$!
}
stop_sim() {
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
}

# "qrvsim --rate 4800 &  # prints e.g. /dev/pts/5", then picocom on that
# device: here AT goes to it instead, and OK must come back.
run_sim_pty() {
  local dir pty
  dir=$(prepare sim-pty)
  sim_line sim-pty || return
  [[ $sim_comment == 'prints e.g. '* ]] || { fail "sim-pty: the comment does not say what qrvsim prints"; return; }
  echo "${sim_comment#prints e.g. }" >"$dir/expected"
  # shellcheck disable=SC2086 # the README's arguments, word by word
  start_sim "$dir" $sim_args
  wait_lines "$dir/sim.out" 1 || { fail "sim-pty: qrvsim $sim_args printed nothing: $(cat "$dir/sim.err")"; stop_sim; return; }
  head -1 "$dir/sim.out" >"$dir/actual"
  compare sim-pty "qrvsim $sim_args" "$dir/expected" "$dir/actual"
  pty=$(head -1 "$dir/sim.out")
  if grep -q '^picocom /dev/pts/[0-9]* ' "$work/blocks/sim-pty"; then
    if talk "$pty" AT OK; then
      echo "ok: sim-pty: picocom (here AT written to $pty) gets OK"
    else
      fail "sim-pty: AT written to the device qrvsim printed ($pty) got no OK"
    fi
  else
    fail "sim-pty: the block no longer opens the device with picocom"
  fi
  stop_sim
}

# "qrvsim --link /tmp/module &  # /tmp/module -> /dev/pts/5, later /dev/pts/6":
# the link leads to the device printed, and after AT+CFUN=1,1 to the new one.
# The link is made in this script's folder, not in /tmp.
run_sim_link() {
  local dir link first second=
  dir=$(prepare sim-link)
  sim_line sim-link || return
  [[ $sim_args =~ --link\ ([^ ]+) ]] || { fail "sim-link: no --link in qrvsim $sim_args"; return; }
  link=${BASH_REMATCH[1]}
  echo "${sim_comment//$link/LINK}" >"$dir/expected"
  # shellcheck disable=SC2086
  start_sim "$dir" ${sim_args//$link/$dir/module}
  wait_lines "$dir/sim.out" 1 || { fail "sim-link: qrvsim printed nothing: $(cat "$dir/sim.err")"; stop_sim; return; }
  first=$(readlink "$dir/module" || true)
  [ "$first" = "$(head -1 "$dir/sim.out")" ] || fail "sim-link: the link leads to \"$first\", qrvsim printed $(head -1 "$dir/sim.out")"
  talk "$dir/module" AT+CFUN=1,1 OK "$dir/sim.out" 2 || fail "sim-link: AT+CFUN=1,1 through the link got no OK"
  if wait_lines "$dir/sim.out" 2 && sleep 0.2; then
    second=$(readlink "$dir/module" || true)
    [ "$second" = "$(sed -n 2p "$dir/sim.out")" ] || fail "sim-link: after the reset the link leads to \"$second\", qrvsim printed $(sed -n 2p "$dir/sim.out")"
    [ "$second" != "$first" ] || fail "sim-link: the module came back on the same pty $first"
  else
    fail "sim-link: qrvsim printed no new device after AT+CFUN=1,1"
  fi
  echo "LINK -> $first, later $second" >"$dir/actual"
  compare sim-link "qrvsim $sim_args (link in a temporary folder)" "$dir/expected" "$dir/actual"
  stop_sim
  if [ -e "$dir/module" ] || [ -L "$dir/module" ]; then fail "sim-link: the link is still there after qrvsim ended"; fi
}

# The reports example names /dev/ttyUSB0: run on the simulated module, it
# must pass and write both reports.
run_run_reports() {
  local dir cmd run status=0
  dir=$(prepare run-reports)
  cmd=$(sed -e ':a' -e '/\\$/{N;s/\\\n */ /;ba' -e '}' "$work/blocks/run-reports" | tr -s ' ')
  echo "substituted: run-reports: --port /dev/ttyUSB0 by --port \"Simulated module\" (no real device is opened here)"
  cmd=${cmd/--port \/dev\/ttyUSB0/--port \"Simulated module\"}
  run=$(runner_command "$cmd") || { fail "run-reports: will not run $cmd"; return; }
  (cd "$dir" && eval "timeout 60 $run" </dev/null >"$dir/out" 2>&1) || status=$?
  local json=$dir/report.json xml=$dir/report.xml
  if [ "$status" != 0 ]; then
    fail "run-reports: exit status $status: $(cat "$dir/out")"
  elif ! [ -s "$json" ] || ! [ -s "$xml" ]; then
    fail "run-reports: report.json or report.xml not written"
  elif [ "$(grep -c '"outcome": "passed"' "$json")" != "$(grep -c '"outcome"' "$json")" ] ||
    ! grep -q '<testsuite .*failures="0"' "$xml"; then
    fail "run-reports: the reports do not say that every command passed"
  else
    echo "ok: run-reports: $cmd"
  fi
}

# The README quotes the message for a check file with a mistake; this makes
# that mistake (line 13 of the rack's bench.checks) and looks for the message.
run_quoted_check_error() {
  local dir said
  dir=$(prepare rack check-mistake)
  [ -f "$dir/bench.checks" ] || { fail "quoted message: no bench.checks in the README"; return; }
  sed -i '13s/.*/check = rssi > strong/' "$dir/bench.checks"
  said=$(cd "$dir" && "$runner" --port "Simulated module" --expect bench.checks bench 2>&1 </dev/null) || true
  said=${said#qrvterm-run: }
  # The README's text with its lines joined, as it reads.
  if tr '\n' ' ' <"$readme" | tr -s ' ' | grep -qF "\`$said\`"; then
    echo "ok: the README quotes the check file message: $said"
  else
    fail "the README does not quote the check file message as the program prints it: $said"
  fi
}

started=$SECONDS
for name in "${known[@]}"; do
  [ -f "$work/blocks/$name" ] || continue
  case $name in
    sim-pty) run_sim_pty ;;
    sim-link) run_sim_link ;;
    run-reports) run_run_reports ;;
    *) run_session "$name" ;;
  esac
done
for block in "$work"/blocks/*; do
  name=$(basename "$block")
  [[ " ${known[*]} " == *" $name "* ]] || fail "README.md:$(cat "$work/lines/$name"): example \"$name\" is not known to $(basename "$0")"
done
run_quoted_check_error
echo "$((SECONDS - started)) s"
if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "every README example agrees with the programs"
