#!/usr/bin/env bash
# Builds the Debian package from a build folder with CPack and checks it: its
# exact file list, its control fields (the dependencies dpkg-shlibdeps found
# must name Debian's Qt 6 packages), its menu entry and metainfo, what lintian
# says of it, and that the packaged programs start.
#
#   package_deb.sh BUILD_DIR CPACK VERSION
set -euo pipefail
build=$1 cpack=$2 version=$3
out=$build/package-test

fail() { echo "FAIL: $*" >&2; exit 1; }

for tool in dpkg-deb dpkg-shlibdeps desktop-file-validate file lintian appstreamcli objdump; do
  command -v "$tool" >/dev/null || fail "$tool is missing (tools/bootstrap.sh test installs it)"
done

rm -rf "$out"
mkdir -p "$out"
if ! (cd "$build" && "$cpack" -G DEB -B "$out") >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log"
  fail "cpack -G DEB failed"
fi

arch=$(dpkg --print-architecture)
deb=$out/qrvterm_${version}-1_${arch}.deb
[ -f "$deb" ] || fail "no $deb; made: $(ls "$out")"
echo "== $(basename "$deb")"

# The web view plugin, where the build has Qt WebEngine, in a package of its
# own.
plugin_path=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/qrvterm/qrvwebengine.so
webdeb=
[ -f "$build/src/webview/qrvwebengine.so" ] && webdeb=$out/qrvterm-webview_${version}-1_${arch}.deb
[ -z "$webdeb" ] || [ -f "$webdeb" ] || fail "no $webdeb; made: $(ls "$out")"

# Files, directories aside: exactly these, owned by root, programs executable.
expected="./usr/bin/qrvsim
./usr/bin/qrvterm
./usr/bin/qrvterm-run
./usr/share/applications/qrvterm.desktop
./usr/share/bash-completion/completions/qrvterm
./usr/share/bash-completion/completions/qrvterm-run
./usr/share/doc/qrvterm/changelog.Debian.gz
./usr/share/doc/qrvterm/copyright
./usr/share/icons/hicolor/64x64/apps/qrvterm.png
./usr/share/man/man1/qrvsim.1.gz
./usr/share/man/man1/qrvterm-run.1.gz
./usr/share/man/man1/qrvterm.1.gz
./usr/share/metainfo/com.example.qrvterm.metainfo.xml"
listing=$(dpkg-deb -c "$deb")
echo "$listing"
files=$(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | sort)
[ "$files" = "$expected" ] || fail "file list differs: $(diff <(echo "$expected") <(echo "$files") || true)"
awk '$2 != "root/root" { exit 1 }' <<<"$listing" || fail "files not owned by root"
grep -Eq '^-rwxr-xr-x .* \./usr/bin/qrvterm$' <<<"$listing" || fail "qrvterm is not executable"
grep -Eq '^-rwxr-xr-x .* \./usr/bin/qrvsim$' <<<"$listing" || fail "qrvsim is not executable"
grep -Eq '^-rwxr-xr-x .* \./usr/bin/qrvterm-run$' <<<"$listing" || fail "qrvterm-run is not executable"

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
echo "Depends: $(field Depends)"
[ "$(field Package)" = qrvterm ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version-1" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
depends=$(field Depends | tr ',|' '\n\n' | sed -E 's/\(.*\)//; s/[[:space:]]//g' | sed '/^$/d')
for pkg in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 libc6 libstdc++6; do
  grep -qx "$pkg" <<<"$depends" || fail "Depends does not name $pkg"
done
if grep -E -- '-dev$' <<<"$depends"; then fail "Depends names development packages"; fi
if grep -i webengine <<<"$depends"; then fail "the terminal depends on Qt WebEngine"; fi

# The web view's package: the plugin, for this very version of the terminal,
# with the web engine; the terminal recommends it.
if [ -n "$webdeb" ]; then
  echo "== $(basename "$webdeb")"
  weblisting=$(dpkg-deb -c "$webdeb")
  echo "$weblisting"
  webfiles=$(awk '$1 !~ /^d/ { print $6 }' <<<"$weblisting" | sort)
  webexpected="./$plugin_path
./usr/share/doc/qrvterm-webview/changelog.Debian.gz
./usr/share/doc/qrvterm-webview/copyright"
  [ "$webfiles" = "$webexpected" ] || fail "web view file list differs: $(diff <(echo "$webexpected") <(echo "$webfiles") || true)"
  webdepends=$(dpkg-deb -f "$webdeb" Depends)
  echo "Depends: $webdepends"
  grep -q "qrvterm (= $version-1)" <<<"$webdepends" || fail "the web view does not depend on this qrvterm"
  grep -q libqt6webenginewidgets6 <<<"$webdepends" || fail "the web view does not depend on Qt WebEngine"
  echo "Recommends: $(field Recommends)"
  field Recommends | grep -q "qrvterm-webview (= $version-1)" || fail "qrvterm does not recommend its web view"
fi

# The unpacked package: the menu entry validates and points at what is there.
root=$out/root
dpkg-deb -x "$deb" "$root"
entry=$root/usr/share/applications/qrvterm.desktop
desktop-file-validate "$entry" || fail "desktop-file-validate"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
icon_name=$(sed -n 's/^Icon=//p' "$entry")
[ -x "$root/usr/bin/$exec_name" ] || fail "Exec=$exec_name is not in /usr/bin of the package"
[ -f "$root/usr/share/icons/hicolor/64x64/apps/$icon_name.png" ] || fail "Icon=$icon_name has no icon"
file "$root/usr/bin/qrvterm" | grep -q ELF || fail "qrvterm is not an ELF program"
# The web engine is loaded with the plugin, never with the programs.
needed() { objdump -p "$1" | awk '$1 == "NEEDED" { print $2 }'; }
for program in qrvterm qrvterm-run qrvsim; do
  if needed "$root/usr/bin/$program" | grep -i webengine; then fail "$program links Qt WebEngine"; fi
done
if [ -n "$webdeb" ]; then
  dpkg-deb -x "$webdeb" "$out/webroot"
  needed "$out/webroot/$plugin_path" | grep -q libQt6WebEngineWidgets ||
    fail "the plugin does not link Qt WebEngine"
fi
appstreamcli validate --no-net --pedantic "$root/usr/share/metainfo/com.example.qrvterm.metainfo.xml" ||
  fail "appstreamcli validate"
for page in qrvterm qrvterm-run qrvsim; do
  zcat "$root/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH ${page^^} 1" || fail "manual page $page(1)"
done

# What lintian says: no error, and no warning but these, each with its reason.
allowed_warnings=(
  # The first changelog entry of a package for Debian's archive closes its
  # ITP bug; this package is not uploaded to the archive and has none.
  initial-upload-closes-no-bugs
)
lintian_out=$(lintian --tag-display-limit 0 "$deb" $webdeb 2>&1 | grep -v '^running with root privileges' || true)
echo "$lintian_out"
while IFS= read -r line; do
  case $line in
    E:*) fail "lintian error: $line" ;;
    W:*)
      tag=$(awk '{ print $3 }' <<<"$line")
      allowed=0
      for ok in "${allowed_warnings[@]}"; do [ "$tag" = "$ok" ] && allowed=1; done
      [ "$allowed" -eq 1 ] || fail "lintian warning not listed: $line" ;;
  esac
done <<<"$lintian_out"

# The packaged programs start: the simulated module prints its pty and runs
# until stopped; the terminal (headless) runs until stopped.
sim_out=$(timeout -s TERM 2 "$root/usr/bin/qrvsim" || [ $? -eq 124 ])
grep -q '^/dev/pts/' <<<"$sim_out" || fail "qrvsim printed no pty: $sim_out"
run=$out/run
mkdir -p "$run"
status=0
(cd "$run" && QT_QPA_PLATFORM=offscreen timeout -s TERM 3 "$root/usr/bin/qrvterm" --port "Simulated module") \
  >"$out/qrvterm.log" 2>&1 || status=$?
[ "$status" -eq 124 ] || { cat "$out/qrvterm.log"; fail "qrvterm ended with status $status before it was stopped"; }

# Started as the menu entry starts it (its Exec line, in the home folder):
# the command sets go to the user's data folder, made with the example.
home=$out/home
mkdir -p "$home"
read -r -a exec_line <<<"$(sed -n 's/^Exec=//p' "$entry")"
status=0
(cd "$home" && HOME=$home XDG_DATA_HOME= QT_QPA_PLATFORM=offscreen timeout -s TERM 3 \
   "$root/usr/bin/${exec_line[0]}" "${exec_line[@]:1}" --no-web-view) >"$out/menu.log" 2>&1 || status=$?
[ "$status" -eq 124 ] || { cat "$out/menu.log"; fail "qrvterm from the menu ended with status $status"; }
[ -f "$home/.local/share/qrvterm/Module/example.ini" ] || fail "no ~/.local/share/qrvterm/Module/example.ini"
[ ! -e "$home/Module" ] || fail "the menu entry made Module in the home folder"

# The packaged runner runs the example set the terminal wrote into Module.
(cd "$run" && "$root/usr/bin/qrvterm-run" --port "Simulated module" --speed 115200 Module/example.ini) \
  >"$out/qrvterm-run.log" 2>&1 || { cat "$out/qrvterm-run.log"; fail "qrvterm-run failed on the example set"; }

echo "package ok"
