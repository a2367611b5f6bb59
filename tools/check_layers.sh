#!/usr/bin/env bash
# Checks that every #include "<folder>/..." in src/ and sim/ points at the
# file's own folder or at a folder below it (README, Layout). Prints each
# include that points up or sideways and exits 1 if there is one.
set -euo pipefail
root="${1:-$(dirname "$0")/..}"
cd "$root"

# What each folder may include, besides itself.
declare -A may=(
  [text]=""
  [store]=""
  [serial]=""
  [commands]="text"
  [at]=""
  [atinfo]=""
  [session]="at serial text store"
  [runner]="session at atinfo serial text"
  [widgets]="session atinfo text store"
  [webview]=""
  [shell]="widgets text webview"
  [console]="shell widgets runner session commands at atinfo serial text"
  [app]="console shell widgets runner session commands at atinfo serial text sim"
  [sim]="atinfo"
)

status=0
checked=0
while IFS= read -r file; do
  folder="${file#*/}"
  [[ "$file" == sim/* ]] && folder=sim || folder="${folder%%/*}"
  if [[ -z "${may[$folder]+set}" ]]; then
    echo "$file: folder '$folder' has no place in the layers (tools/check_layers.sh)"
    status=1
    continue
  fi
  while IFS= read -r line; do
    target="${line#*\"}"
    target="${target%%\"*}"
    [[ "$target" == */* ]] || continue # a file beside it, or a generated one
    used="${target%%/*}"
    [[ "$used" == "$folder" ]] && continue
    if [[ " ${may[$folder]} " != *" $used "* ]]; then
      echo "$file: includes \"$target\": $folder may not use $used"
      status=1
    fi
    checked=$((checked + 1))
  done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
done < <(find src sim -type f \( -name '*.cpp' -o -name '*.h' \) | sort)

if [[ $status -eq 0 ]]; then
  echo "layers: $checked includes across folders, all pointing down"
fi
exit $status
