#!/usr/bin/env bash
# The options each man page and the bash completion list are the options the program's --help
# lists, command by command.
#   manOptions_test.sh PACKAGING_DIR SONICSEND [VELARTO]
set -euo pipefail
packaging=$1 sonicsend=$2 velarto=${3:-}

# The -x and --xx of the definition lines ("*-o*, *--output* _OUT_") under the heading `section`.
pageOptions() {
  awk -v section="$2" '/^#/ { inside = ($0 == section); next }
    inside && /^\*-/ { while (match($0, /\*--?[a-z][a-z-]*\*/)) {
        print substr($0, RSTART + 1, RLENGTH - 2); $0 = substr($0, RSTART + RLENGTH) } }' "$1" |
    sort -u
}
# The options the completion offers after `command` ("" before any command).
completionOptions() {
  sed -n "s/^ *\"\\{0,1\\}$1\"\\{0,1\\}) options=\"\\(.*\\)\" ;;\$/\\1/p" \
    "$packaging/sonicsend.bash-completion" | tr ' ' '\n' | grep '^-' | sort -u
}
# The options of a --help text: the leading -x, --xx words of each line under "Options:". A
# program that does not answer --help within 20 s lists none.
helpOptions() {
  timeout 20 "$@" --help | awk '/^Options:/ { inside = 1; next } /^[^ ]/ { inside = 0 }
    inside && /^  +-/ { n = split($0, word, /[ ,]+/)
      for (i = 2; i <= n && word[i] ~ /^-/; i++) print word[i] }' | sort -u
}

status=0
compare() {  # what listed command...
  local what=$1 listed=$2
  shift 2
  if ! diff <(echo "$listed") <(helpOptions "$@") >/dev/null; then
    echo "$what and \`${*##*/} --help\` list different options (< only in the first, > only in --help):"
    diff <(echo "$listed") <(helpOptions "$@") | grep '^[<>]' || true
    status=1
  fi
}

page=$packaging/man/sonicsend.1.scd
compare "sonicsend(1) OPTIONS" "$(pageOptions "$page" "# OPTIONS")" "$sonicsend"
compare "the completion of sonicsend" "$(completionOptions '')" "$sonicsend"
for command in encode play decode listen; do
  compare "sonicsend(1) $command" "$(pageOptions "$page" "## $command")" "$sonicsend" "$command"
  compare "the completion of sonicsend $command" "$(completionOptions "$command")" \
    "$sonicsend" "$command"
done
if [ -n "$velarto" ]; then
  QT_QPA_PLATFORM=offscreen compare "velarto(1) OPTIONS" \
    "$(pageOptions "$packaging/man/velarto.1.scd" "# OPTIONS")" "$velarto"
fi
exit "$status"
