#!/usr/bin/env bash
# The window's receive path on the same flood over the same path, natively
# and under Wine: a pty fed as fast as it takes modem text (a Python
# feeder), a real ser2net serving it with RFC 2217 on 127.0.0.1 (its own
# configuration, never the system's), and portflood_bench (Linux build) or
# portflood_bench.exe (Windows build, run with tools/wine-run.sh) opening
# rfc2217://127.0.0.1:P in the window. Each run gets a fresh pty and
# ser2net; the rounds alternate. Prints MB/s, CPU seconds per MB of the
# receiving process and of its window thread, and whether the bytes were
# exact (SHA-256 against the feeder's).
#
#   bench/wine_flood.sh [MB] [ROUNDS]      (after tools/bootstrap.sh windows)
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
mb=${1:-50}
rounds=${2:-3}
linux=$here/build/bench/portflood_bench
windows=$here/build-win/b/bench/portflood_bench.exe
for program in "$linux" "$windows"; do
  [ -e "$program" ] || { echo "missing $program" >&2; exit 2; }
done
ser2net=$(command -v ser2net || echo /usr/sbin/ser2net)
work=$(mktemp -d /tmp/qrv-wineflood-XXXXXX)
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

cat > "$work/feeder.py" <<'PY'
import hashlib, os, pty, sys, time, tty
mb, name_file, go_file = int(sys.argv[1]), sys.argv[2], sys.argv[3]
master, slave = pty.openpty()
tty.setraw(slave)
with open(name_file + ".tmp", "w") as f:
    f.write(os.ttyname(slave))
os.rename(name_file + ".tmp", name_file)
while not os.path.exists(go_file):
    time.sleep(0.005)
pattern = (b'+CSQ: 17,99\r\nOK\r\n'
           b'+CMGR: "REC UNREAD","+8613800000000",,"26/12/06,10:00:00+32"\r\n'
           + '你好，模块测试。'.encode('gbk') + b'\r\nOK\r\n'
           b'+CREG: 2,1,"1A2B","01C2D3E4",7\r\n') * 200
total, sent, digest = mb * 1024 * 1024, 0, hashlib.sha256()
while sent < total:
    piece = pattern[:min(len(pattern), total - sent)]
    n = os.write(master, piece)
    digest.update(piece[:n])
    sent += n
print(digest.hexdigest(), flush=True)
time.sleep(600)
PY

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
listening() { ! python3 -c "import socket; s=socket.socket(); s.bind(('127.0.0.1',$1))" 2>/dev/null; }

# run KIND ROUND: one flood; prints "KIND received seconds cpu windowcpu exact".
run() {
  local kind=$1 dir=$work/$1-$2
  mkdir -p "$dir"
  python3 "$work/feeder.py" "$mb" "$dir/slave" "$dir/go" > "$dir/fed" 2>&1 &
  local feeder=$!; pids+=($feeder)
  for _ in $(seq 200); do [ -f "$dir/slave" ] && break; sleep 0.01; done
  local port; port=$(free_port)
  printf '%%YAML 1.1\n---\nconnection: &flood\n    accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n    connector: serialdev,%s,115200n81,local\n' \
    "$port" "$(cat "$dir/slave")" > "$dir/ser2net.yaml"
  "$ser2net" -n -u -c "$dir/ser2net.yaml" -P "$dir/ser2net.pid" > "$dir/ser2net.out" 2>&1 &
  local server=$!; pids+=($server)
  for _ in $(seq 200); do listening "$port" && break; sleep 0.02; done
  local bytes=$((mb * 1024 * 1024))
  if [ "$kind" = linux ]; then
    QT_QPA_PLATFORM=offscreen "$linux" "rfc2217://127.0.0.1:$port" "$bytes" "$dir/result" > "$dir/out" 2>&1 &
  else
    "$here/tools/wine-run.sh" "$windows" "rfc2217://127.0.0.1:$port" "$bytes" "$(winepath -w "$dir/result" 2>/dev/null)" \
      > "$dir/out" 2>&1 &
  fi
  local receiver=$!
  for _ in $(seq 3000); do [ -f "$dir/result.ready" ] && break; sleep 0.01; done
  touch "$dir/go"
  wait "$receiver"
  kill "$server" "$feeder" 2>/dev/null
  wait "$server" "$feeder" 2>/dev/null
  read -r received seconds cpu window sha < "$dir/result" || { echo "$kind: no result ($(cat "$dir/out"))"; return; }
  local fed; fed=$(head -1 "$dir/fed")
  echo "$kind $received $seconds $cpu $window $([ "$sha" = "$fed" ] && echo exact || echo DIFFERENT)"
}

results=()
for round in $(seq "$rounds"); do
  if [ $((round % 2)) -eq 1 ]; then order="linux wine"; else order="wine linux"; fi
  for kind in $order; do
    line=$(run "$kind" "$round")
    echo "round $round: $line"
    results+=("$line")
  done
done
printf '%s\n' "${results[@]}" | python3 -c '
import sys, statistics
rows = {}
for line in sys.stdin:
    f = line.split()
    if len(f) == 6:
        rows.setdefault(f[0], []).append(f)
print(f"medians of the rounds, {sys.argv[1]} MB over rfc2217 through ser2net")
print("%-8s %7s %9s %12s %6s  bytes" % ("build", "MB/s", "cpu s/MB", "window s/MB", "x cpu"))
base = None
for kind in ("linux", "wine"):
    r = rows.get(kind, [])
    if not r:
        continue
    mbs = [int(x[1]) / 1048576 for x in r]
    rate = statistics.median(m / float(x[2]) for m, x in zip(mbs, r))
    cpu = statistics.median(float(x[3]) / m for m, x in zip(mbs, r))
    win = statistics.median(float(x[4]) / m for m, x in zip(mbs, r))
    base = base or cpu
    exact = "exact" if all(x[5] == "exact" for x in r) else "NOT EXACT"
    print(f"{kind:8} {rate:7.1f} {cpu:9.4f} {win:12.4f} {cpu / base:6.2f}  {exact}")
' "$mb"
