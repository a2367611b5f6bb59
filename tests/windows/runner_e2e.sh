#!/usr/bin/env bash
# qrvterm-run.exe under Wine, end to end, beside the Linux qrvterm-run:
#  - on the simulated module served inside the program (no pty on Windows);
#  - on the Linux qrvsim behind a real ser2net, over rfc2217://127.0.0.1:P
#    (its own configuration on 127.0.0.1 and free ports, never the system's);
#  - stopped by Ctrl+C, which must still write its report.
# Each run must pass the example set, and its JSON report must equal the
# Linux runner's on the same kind of port in each command's text, outcome,
# final result and number of reply lines. Each run gets a fresh module: the
# example set deletes the message it reads.
#
#   runner_e2e.sh WINDOWS_RUNNER.exe LINUX_BUILD_DIR
set -uo pipefail
exe=$1
linux=$2
here=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/qrv-e2e-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

for program in "$linux/sim/qrvsim" "$linux/src/qrvterm-run"; do
  [ -x "$program" ] || fail "$program is missing: build the Linux programs first (tools/bootstrap.sh windows does)"
done
ser2net=$(command -v ser2net || ls /usr/sbin/ser2net 2>/dev/null) || fail "ser2net is not installed"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
listening() { ! python3 -c "import socket,sys; s=socket.socket(); s.bind(('127.0.0.1',$1))" 2>/dev/null; }

# Outcomes of a JSON report, one line a command.
outcomes() {
  python3 - "$1" <<'PY'
import json, sys
report = json.load(open(sys.argv[1], encoding="utf-8"))
for c in report["commands"]:
    print(c["command"], c["outcome"], c.get("result", ""), len(c.get("reply", [])), sep="\t")
PY
}

# run NAME PROGRAM PORT: the example set from a folder of its own.
run() {
  local name=$1 program=$2 port=$3
  mkdir -p "$work/$name"
  if [[ $program == *.exe ]]; then
    (cd "$work/$name" && "$here/tools/wine-run.sh" "$program" --port "$port" --json report.json example \
       >/dev/null 2>&1)
  else
    (cd "$work/$name" && "$program" --port "$port" --json report.json example >/dev/null 2>&1)
  fi
  local status=$?
  [ -f "$work/$name/report.json" ] || fail "$name: no report (exit $status)"
  [ "$status" -eq 0 ] || { outcomes "$work/$name/report.json"; fail "$name: exit $status"; }
  outcomes "$work/$name/report.json" > "$work/$name.txt"
  echo "$name: $(wc -l < "$work/$name.txt") commands passed"
}

# In the program: the Windows build serves the simulated module in-process;
# the Linux build does so when asked.
QRV_SIM_IN_PROCESS=1 run linux-sim "$linux/src/qrvterm-run" "Simulated module"
run windows-sim "$exe" "Simulated module"
diff -u "$work/linux-sim.txt" "$work/windows-sim.txt" || fail "the simulated module's reports differ"

# Ctrl+C in the console: Wine hands the process's SIGINT to its console
# handlers as Ctrl+C. The run stops the command it waits for, writes its
# report and ends with 130, as on Linux.
mkdir -p "$work/ctrlc"
(cd "$work/ctrlc" && exec "$here/tools/wine-run.sh" "$exe" --port "Simulated module" --sim-delay 1500 \
   --json report.json example >/dev/null 2>&1) &
runner=$!
target=
for _ in $(seq 200); do
  for pid in $(pgrep -x qrvterm-run.exe); do
    [ "$(readlink "/proc/$pid/cwd")" = "$work/ctrlc" ] && target=$pid
  done
  [ -n "$target" ] && break
  sleep 0.05
done
[ -n "$target" ] || fail "the Windows runner did not start"
sleep 4 # the first commands answered, one waiting
kill -INT "$target"
wait "$runner"
status=$?
[ "$status" -eq 130 ] || fail "Ctrl+C: exit $status, not 130"
python3 - "$work/ctrlc/report.json" <<'PY' || fail "Ctrl+C: the report does not tell it"
import json, sys
report = json.load(open(sys.argv[1], encoding="utf-8"))
outcomes = [c["outcome"] for c in report["commands"]]
assert report["stopReason"] == "stopped by Ctrl+C", report["stopReason"]
assert report["exitStatus"] == 130
assert outcomes[0] == "passed" and "stopped" in outcomes, outcomes
PY
echo "ctrl-c: exit 130, report written ($(python3 -c "import json,sys; print(' '.join(c['outcome'] for c in json.load(open(sys.argv[1]))['commands']))" "$work/ctrlc/report.json"))"

# Two fresh modules behind ser2net, one for each runner.
"$linux/sim/qrvsim" --count 2 --link "$work/module" > "$work/qrvsim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "$work/module-2" ] && break; sleep 0.05; done
[ -e "$work/module-2" ] || fail "qrvsim did not start: $(cat "$work/qrvsim.out")"
p1=$(free_port); p2=$(free_port)
cat > "$work/ser2net.yaml" <<YAML
%YAML 1.1
---
connection: &one
    accepter: telnet(rfc2217),tcp,127.0.0.1,$p1
    connector: serialdev,$work/module-1,115200n81,local
connection: &two
    accepter: telnet(rfc2217),tcp,127.0.0.1,$p2
    connector: serialdev,$work/module-2,115200n81,local
YAML
"$ser2net" -n -u -c "$work/ser2net.yaml" -P "$work/ser2net.pid" > "$work/ser2net.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do listening "$p1" && listening "$p2" && break; sleep 0.05; done
listening "$p1" && listening "$p2" || fail "ser2net does not listen: $(cat "$work/ser2net.out")"
run linux-rfc2217 "$linux/src/qrvterm-run" "rfc2217://127.0.0.1:$p1"
run windows-rfc2217 "$exe" "rfc2217://127.0.0.1:$p2"
diff -u "$work/linux-rfc2217.txt" "$work/windows-rfc2217.txt" || fail "the reports over RFC 2217 differ"
echo "PASS: the Windows runner's reports equal the Linux runner's (in-process and over RFC 2217)"
