#!/usr/bin/env bash
# Mutation sampler: draws COUNT small faults with SEED from the sources and headers (.c, .cpp,
# .h) under the FOLDERs, recursively (a flipped comparison, a constant made half again as large,
# a boolean inverted, && for || or the other way, a sign swapped), and for each one alone
# rebuilds and runs the test PROGRAMs. A fault is caught when a program fails or runs out of
# time; one that does not compile is drawn again. Prints each fault and the score.
#
#   scripts/mutate.sh [--seed N] [--count N] [--pulse] FOLDER... -- PROGRAM[=FILTER]...
#
#   PROGRAM  a test executable's CMake target (receiver_tests, store_tests, ...); =FILTER passes
#            --gtest_filter=FILTER to it
#   --pulse  runs the programs against a private sound server (scripts/with-pulse.sh), for the
#            sender's real-server tests
# Without FOLDER and PROGRAM: receiver/ against receiver_tests (less its live sound-server test),
# listening_core_tests, listening_core_fixed_tests (the core built for chips without an FPU),
# device_tests (the emulated chip's firmware) and cli_tests. Defaults: seed 1, count 16;
# MUTATE_TIMEOUT seconds per run.
#   scripts/mutate.sh --seed 2 --count 12 store -- store_tests
#   scripts/mutate.sh --count 12 --pulse sender tools -- sender_tests playback_tests \
#     playback_server_test cli_tests
#
# The faults go into a private copy of the work tree (build/mutate/src, as it stands, uncommitted
# changes included), never into the checkout itself; it is built as a release with
# -D_GLIBCXX_ASSERTIONS in build/mutate/build, as CI's sanitizers would catch an out-of-range
# index.
set -euo pipefail
cd "$(dirname "$0")/.."
seed=1
count=16
pulse=()
folders=()
programs=()
while [ $# -gt 0 ]; do
  case $1 in
    --seed) seed=$2; shift 2 ;;
    --count) count=$2; shift 2 ;;
    --pulse) pulse=(scripts/with-pulse.sh); shift ;;
    --) shift; programs=("$@"); break ;;
    -*) echo "mutate: unknown option $1" >&2; exit 2 ;;
    *) folders+=("${1%/}"); shift ;;
  esac
done
if [ ${#folders[@]} -eq 0 ] && [ ${#programs[@]} -eq 0 ]; then
  folders=(receiver)
  programs=('receiver_tests=-LivePath.*' listening_core_tests listening_core_fixed_tests device_tests
            cli_tests)
fi
[ ${#folders[@]} -gt 0 ] && [ ${#programs[@]} -gt 0 ] ||
  { echo "usage: scripts/mutate.sh [--seed N] [--count N] [--pulse] FOLDER... -- PROGRAM..." >&2; exit 2; }
timeout=${MUTATE_TIMEOUT:-900}
source=build/mutate/src
build=build/mutate/build
targets=("${programs[@]%%=*}")

mkdir -p "$source"
git ls-files -z --cached --others --exclude-standard | grep -zv '^build/' |
  rsync -a --from0 --files-from=- --delete-missing-args ./ "$source/"
cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS -DVELARTO_BUILD_BENCH=OFF -DVELARTO_BUILD_APP=OFF \
  -DVELARTO_BUILD_WEB=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}" >/dev/null

# Every place a fault can go, one per line: file, line, column, length, replacement, kind.
sites=$(mktemp)
backup=$(mktemp)
current=""
restore() {
  if [ -n "$current" ]; then cp "$backup" "$current"; current=""; fi
}
trap 'restore; rm -f "$sites" "$backup"' EXIT
(cd "$source" && python3 - "$seed" "${folders[@]}") >"$sites" <<'PY'
import pathlib, random, re, sys
swaps = [
    (r'(?<![<>=!])==(?!=)', '!=', 'comparison'), (r'!=', '==', 'comparison'),
    (r'(?<![<>-])<=', '>=', 'comparison'), (r'>=', '<=', 'comparison'),
    (r'(?<=\s)<(?=\s)', '>', 'comparison'), (r'(?<=\s)>(?=\s)', '<', 'comparison'),
    (r'&&', '||', 'logic'), (r'\|\|', '&&', 'logic'),
    (r'\btrue\b', 'false', 'boolean'), (r'\bfalse\b', 'true', 'boolean'),
    (r'(?<=\s)\+(?=\s)', '-', 'sign'), (r'(?<=\s)-(?=\s)', '+', 'sign'),
    (r'\+=', '-=', 'sign'), (r'-=', '+=', 'sign'),
]
number = re.compile(r'(?<![\w.])(\d+\.\d*(?:e-?\d+)?|\d+e-?\d+)f?(?![\w.])')
paths = sorted({str(path) for folder in sys.argv[2:] for suffix in ('c', 'cpp', 'h')
                for path in pathlib.Path(folder).rglob(f'*.{suffix}')})
sites = []
for path in paths:
    for line_no, line in enumerate(open(path), 1):
        code = line.split('//')[0]
        if not code.strip() or code.lstrip().startswith(('#', '*', '/*')):
            continue
        for pattern, replacement, kind in swaps:
            for m in re.finditer(pattern, code):
                sites.append((path, line_no, m.start(), len(m.group(0)), replacement, kind))
        for m in number.finditer(code):
            value = float(m.group(1))
            if value != 0.0:
                sites.append((path, line_no, m.start(1), len(m.group(1)), repr(value * 1.5),
                              'constant'))
random.Random(int(sys.argv[1])).shuffle(sites)
for site in sites:
    print('\t'.join(map(str, site)))
PY

# Runs every program once; fails as soon as one does.
runTests() {
  for program in "${programs[@]}"; do
    local name=${program%%=*} filter=()
    [ "$name" = "$program" ] || filter=("--gtest_filter=${program#*=}")
    local path
    path=$(find "$build" -type f -name "$name" -perm -u+x | head -n 1)
    timeout "$timeout" "${pulse[@]}" "$path" --gtest_brief=1 --gtest_fail_fast "${filter[@]}" \
      >/dev/null 2>&1 || return 1
  done
}

caught=0
tried=0
while IFS=$'\t' read -r file line column length replacement kind; do
  [ "$tried" -lt "$count" ] || break
  file=$source/$file
  cp "$file" "$backup"
  current=$file
  python3 - "$file" "$line" "$column" "$length" "$replacement" <<'PY'
import sys
path, replacement = sys.argv[1], sys.argv[5]
line, column, length = (int(value) for value in sys.argv[2:5])
lines = open(path).read().split('\n')
text = lines[line - 1]
lines[line - 1] = text[:column] + replacement + text[column + length:]
open(path, 'w').write('\n'.join(lines))
PY
  changed=$(sed -n "${line}p" "$file" | sed 's/^ *//')
  if ! cmake --build "$build" --target "${targets[@]}" >/dev/null 2>&1; then
    restore
    continue
  fi
  tried=$((tried + 1))
  verdict=survived
  if ! runTests 2>/dev/null; then
    verdict=caught
    caught=$((caught + 1))
  fi
  printf '%-8s %-10s %s:%s  %s\n' "$verdict" "$kind" "${file#"$source"/}" "$line" "$changed"
  restore
done <"$sites"
echo "seed $seed: caught $caught of $tried"
