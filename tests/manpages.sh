#!/usr/bin/env bash
# Each program's --help and its manual page name the same options: every
# long option --help lists has an entry (a tag under .TP) in the page's
# OPTIONS section, and the section has no entry --help does not list. The
# pages also format without a warning from groff.
#
#   manpages.sh SOURCE_DIR PROGRAM...
set -euo pipefail
source=$1
shift
fail=0
for program in "$@"; do
  name=$(basename "$program")
  page=$source/docs/man/$name.1
  [ -f "$page" ] || { echo "FAIL: no manual page for $name"; fail=1; continue; }
  # Options of --help: the lines that start with "-x, --name" or "--name".
  from_help=$(QT_QPA_PLATFORM=offscreen "$program" --help 2>/dev/null |
    sed -nE 's/^  +(-[a-zA-Z], )?(--[a-z][a-z-]*).*/\2/p' | sort -u)
  # Options of the page: the tag line after each .TP of the OPTIONS section.
  from_page=$(awk '/^\.SH /{ section = $2 } section == "OPTIONS" && tag { print; tag = 0 } /^\.TP/{ tag = 1 }' "$page" |
    sed 's/\\-/-/g' | grep -oE -- '--[a-z][a-z-]*' | sort -u)
  if [ "$from_help" != "$from_page" ]; then
    echo "FAIL: $name: --help and $page differ (< --help, > page):"
    diff <(echo "$from_help") <(echo "$from_page") || true
    fail=1
  else
    echo "$name: $(wc -l <<<"$from_help") options agree"
  fi
  warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z "$page" 2>&1 || true)
  [ -z "$warnings" ] || { echo "FAIL: groff on $page: $warnings"; fail=1; }
done
exit $fail
