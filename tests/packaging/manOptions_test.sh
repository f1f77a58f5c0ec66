#!/usr/bin/env bash
# The options each man page lists are the options the program's --help lists, command by command.
#   manOptions_test.sh MAN_DIR SONICSEND [VELARTO]
set -euo pipefail
man=$1 sonicsend=$2 velarto=${3:-}

# The -x and --xx of the definition lines ("*-o*, *--output* _OUT_") under the heading `section`.
pageOptions() {
  awk -v section="$2" '/^#/ { inside = ($0 == section); next }
    inside && /^\*-/ { while (match($0, /\*--?[a-z][a-z-]*\*/)) {
        print substr($0, RSTART + 1, RLENGTH - 2); $0 = substr($0, RSTART + RLENGTH) } }' "$1" |
    sort -u
}
# The options of a --help text: the leading -x, --xx words of each line under "Options:".
helpOptions() {
  "$@" --help | awk '/^Options:/ { inside = 1; next } /^[^ ]/ { inside = 0 }
    inside && /^  +-/ { n = split($0, word, /[ ,]+/)
      for (i = 2; i <= n && word[i] ~ /^-/; i++) print word[i] }' | sort -u
}

status=0
compare() {  # page heading command...
  local page=$1 heading=$2
  shift 2
  if ! diff <(pageOptions "$page" "$heading") <(helpOptions "$@") >/dev/null; then
    echo "${page##*/} \"$heading\" and \`${*##*/} --help\` list different options" \
      "(< only in the page, > only in --help):"
    diff <(pageOptions "$page" "$heading") <(helpOptions "$@") | grep '^[<>]' || true
    status=1
  fi
}

compare "$man/sonicsend.1.scd" "# OPTIONS" "$sonicsend"
for command in encode play decode listen; do
  compare "$man/sonicsend.1.scd" "## $command" "$sonicsend" "$command"
done
if [ -n "$velarto" ]; then
  QT_QPA_PLATFORM=offscreen compare "$man/velarto.1.scd" "# OPTIONS" "$velarto"
fi
exit "$status"
