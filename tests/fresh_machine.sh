#!/usr/bin/env bash
# Installs the Debian package on a new minimal Debian 12 (bookworm) system made
# with debootstrap, in a chroot that has never seen the project, and runs the
# packaged programs there as an ordinary user: the runner on the example command
# set against the simulated module, and the terminal (headless) until stopped.
# Prints how long each step took, what the install pulled in and the size of
# the system. A qrvterm-webview package beside DEB is installed after it, and
# counted apart. Run as root; KEEP=1 keeps the system afterwards; RECOMMENDS=1
# installs the package's recommends too, as a plain `apt install` does.
#
#   fresh_machine.sh DEB [WORK_DIR]
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: $0 DEB [WORK_DIR]" >&2; exit 2; }

fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root (debootstrap, chroot and mount need it)"
deb=$(realpath "$1")
[ -f "$deb" ] || fail "no package $1"
own_work=0
if [ $# -eq 2 ]; then work=$2; else work=$(mktemp -d); own_work=1; fi
mkdir -p "$work"
work=$(realpath "$work")
root=$work/root
mirror=http://deb.debian.org/debian
[ ! -e "$root" ] || fail "$root already exists (left by KEEP=1?)"

# Everything mounted below the new system, deepest first.
mounts_below_root() { awk -v r="$root/" 'index($2, r) == 1 { print $2 }' /proc/self/mounts | sort -r; }

# On any exit: unmount all that is mounted below the system (debootstrap's own
# mounts too, if it failed half way), then remove the system, never while
# anything is still mounted in it; --one-file-system as a second guard.
cleanup() {
  local status=$? m
  while read -r m; do umount "$m" 2>/dev/null || umount -l "$m"; done < <(mounts_below_root)
  if [ -n "$(mounts_below_root)" ]; then
    echo "FAIL: still mounted below $root; left in place" >&2; exit 1
  elif [ "${KEEP:-0}" = 1 ]; then
    echo "kept $root"
  else
    rm -rf --one-file-system "$root"
    [ "$status" -ne 0 ] || [ "$own_work" -eq 0 ] || rm -rf --one-file-system "$work"
  fi
  [ "$status" -eq 0 ] || echo "logs: $work" >&2
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# step NAME LOG COMMAND...: runs COMMAND with its output in WORK_DIR/LOG.log,
# shows the end of the log if it fails, and keeps the time taken in took[NAME].
declare -A took
step() {
  local name=$1 log=$work/$2.log start=$SECONDS
  shift 2
  echo "== $name"
  "$@" >"$log" 2>&1 || { tail -n 30 "$log"; fail "$name (log: $log)"; }
  took[$name]=$((SECONDS - start))
  echo "   ${took[$name]} s"
}

# A command in the new system, with a clean environment: as root, or as the
# ordinary user (uid 1000) in the folder $run.
in_root() {
  chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}
as_user() { chroot --userspec=1000:1000 "$root" env -i -C "$run" PATH=/usr/bin:/bin HOME=/home/user \
  LANG=C.UTF-8 XDG_RUNTIME_DIR=/run/user/1000 "$@"; }

if ! command -v debootstrap >/dev/null; then
  step "install debootstrap on this machine" host-apt \
    sh -c 'apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y debootstrap'
fi
step "debootstrap bookworm" debootstrap debootstrap --variant=minbase bookworm "$root" "$mirror"
base_size=$(du -sxh "$root" | cut -f1)

# What the programs need: /proc, /sys (port lists), and ptys. A devpts instance
# of its own (pty numbers and modes independent of this machine's), with
# /dev/ptmx pointing at its ptmx.
mount -t proc proc "$root/proc"
mount -t sysfs -o ro sysfs "$root/sys"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$root/dev/pts"
ln -sf pts/ptmx "$root/dev/ptmx"
[ -c "$root/dev/null" ] || fail "debootstrap made no /dev/null"

# The sources of an installed Debian 12; no service is started in the chroot.
printf 'deb %s %s main\n' "$mirror" bookworm "$mirror" bookworm-updates \
  http://security.debian.org/debian-security bookworm-security >"$root/etc/apt/sources.list"
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"
cp "$deb" "$root/tmp/"
name=$(basename "$deb")

# Packages and versions; what the install added, and what it upgraded.
packages() { in_root dpkg-query -W -f '${Package} ${Version}\n' | sort; }
before=$(packages)
step "apt-get update" apt-update in_root apt-get update
# By default without recommends: what the package's Depends bring must be enough.
recommends=--no-install-recommends
[ "${RECOMMENDS:-0}" != 1 ] || recommends=--install-recommends
step "apt-get install ./$name" apt-install in_root env -C /tmp apt-get install -y "$recommends" "./$name"
changed=$(comm -13 <(echo "$before") <(packages) | cut -d' ' -f1)
names_before=$(cut -d' ' -f1 <<<"$before")
new=$(grep -Fvxf <(echo "$names_before") <<<"$changed" | grep -vx qrvterm || true)
upgraded=$(grep -Fxf <(echo "$names_before") <<<"$changed" || true)
count=$(grep -c . <<<"$new" || true)
download=$(sed -n 's/^Need to get \([0-9.,]* [kMG]\?B\).*archives.*/\1/p' "$work/apt-install.log")
in_root apt-get clean
lean_size=$(du -sxh "$root" | cut -f1)

# The programs, as an ordinary user in an empty folder.
in_root useradd -m -u 1000 user
run=/tmp/run
install -d -o 1000 -g 1000 -m 0700 "$root$run" "$root/run/user/1000"

echo "== qrvterm-run --port \"Simulated module\" example"
start=$SECONDS status=0
out=$(as_user timeout 120 qrvterm-run --port "Simulated module" example 2>&1) || status=$?
took[runner]=$((SECONDS - start))
echo "$out" | sed 's/^/   /'
[ "$status" -eq 0 ] || fail "qrvterm-run ended with status $status"
grep -q "6 commands: 6 passed" <<<"$out" || fail "qrvterm-run did not print \"6 commands: 6 passed\""
[ -f "$root$run/Module/example.ini" ] || fail "qrvterm-run made no ./Module/example.ini"

echo "== qrvterm --port \"Simulated module\" --no-web-view (offscreen, stopped after 3 s)"
status=0
out=$(as_user QT_QPA_PLATFORM=offscreen timeout -k 5 -s TERM 3 \
        qrvterm --port "Simulated module" --no-web-view 2>&1) || status=$?
[ -z "$out" ] || echo "$out" | sed 's/^/   /'
[ "$status" -eq 124 ] || fail "qrvterm ended with status $status before it was stopped (124 expected)"

# The web view's package, when it was built beside the terminal's: what it
# adds, and the terminal still starts with it (offscreen: its own page).
webname=qrvterm-webview_${name#qrvterm_}
websummary="not built"
if [ -f "$(dirname "$deb")/$webname" ]; then
  cp "$(dirname "$deb")/$webname" "$root/tmp/"
  before=$(packages)
  step "apt-get install ./$webname" web-install in_root env -C /tmp apt-get install -y "$recommends" "./$webname"
  webnew=$(comm -13 <(cut -d' ' -f1 <<<"$before") <(packages | cut -d' ' -f1) | grep -vx qrvterm-webview || true)
  webcount=$(grep -c . <<<"$webnew" || true)
  webdownload=$(sed -n 's/^Need to get \([0-9.,]* [kMG]\?B\).*archives.*/\1/p' "$work/web-install.log")
  in_root apt-get clean
  echo "== qrvterm --port \"Simulated module\" with the web view installed (offscreen, stopped after 3 s)"
  status=0
  out=$(as_user QT_QPA_PLATFORM=offscreen timeout -k 5 -s TERM 3 qrvterm --port "Simulated module" 2>&1) || status=$?
  [ -z "$out" ] || echo "$out" | sed 's/^/   /'
  [ "$status" -eq 124 ] || fail "qrvterm ended with status $status before it was stopped (124 expected)"
  websummary="${took[apt-get install ./$webname]} s, $webcount more packages ($webdownload downloaded)"
fi

size=$(du -sxh "$root" | cut -f1)
cat <<EOF
== summary
debootstrap:        ${took[debootstrap bookworm]} s (system: $base_size)
apt-get update:     ${took[apt-get update]} s
apt-get install:    ${took[apt-get install ./$name]} s ($recommends), $count packages pulled in ($download downloaded)
web view package:   $websummary
qrvterm-run:        ${took[runner]} s
size of the system: $lean_size after the install, $size with the web view (apt's cache cleaned)
packages pulled in:
$(fmt -w 100 <<<"$(tr '\n' ' ' <<<"$new")" | sed 's/^/   /')
packages upgraded: $(tr '\n' ' ' <<<"${upgraded:-none}")
packages the web view added:
$(fmt -w 100 <<<"$(tr '\n' ' ' <<<"${webnew:-}")" | sed 's/^/   /')
fresh machine ok
EOF
