#!/usr/bin/env bash
# Mutation sampler for the receiver: draws COUNT small faults from receiver/*.cpp with SEED (a
# flipped comparison, a constant made half again as large, a boolean inverted, && for || or
# the other way, a sign swapped), and for each one alone rebuilds and runs the receiver's and
# the command line's tests. A fault is caught when a test fails or runs out of time; one that
# does not compile is drawn again. Prints each fault and the score.
#
#   scripts/mutate.sh [SEED] [COUNT]     (defaults 1 and 16; MUTATE_TIMEOUT seconds per run)
#
# The build is a release build with -D_GLIBCXX_ASSERTIONS in build/mutate, as CI's sanitizers
# would catch an out-of-range index. The source is restored after every fault, and on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
seed=${1:-1}
count=${2:-16}
timeout=${MUTATE_TIMEOUT:-900}
build=build/mutate

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS \
  -DVELARTO_BUILD_BENCH=OFF -DVELARTO_BUILD_APP=OFF -DVELARTO_BUILD_WEB=OFF >/dev/null
targets=(receiver_tests cli_tests)
cmake --build "$build" --target "${targets[@]}" >/dev/null

# Every place a fault can go, one per line: file, line, column, length, replacement, kind.
sites=$(mktemp)
backup=$(mktemp)
current=""
restore() {
  if [ -n "$current" ]; then cp "$backup" "$current"; current=""; fi
}
trap 'restore; rm -f "$sites" "$backup"' EXIT
python3 - "$seed" >"$sites" <<'PY'
import glob, random, re, sys
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
sites = []
for path in sorted(glob.glob('receiver/*.cpp')):
    for line_no, line in enumerate(open(path), 1):
        code = line.split('//')[0]
        if not code.strip() or code.lstrip().startswith('#'):
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

caught=0
tried=0
while IFS=$'\t' read -r file line column length replacement kind; do
  [ "$tried" -lt "$count" ] || break
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
  if ! timeout "$timeout" "$build/tests/receiver/receiver_tests" --gtest_brief=1 \
      --gtest_fail_fast --gtest_filter=-LivePath.* >/dev/null 2>&1 ||
     ! timeout "$timeout" "$build/tests/tools/cli_tests" --gtest_brief=1 --gtest_fail_fast \
      >/dev/null 2>&1; then
    verdict=caught
    caught=$((caught + 1))
  fi
  printf '%-8s %-10s %s:%s  %s\n' "$verdict" "$kind" "$file" "$line" "$changed"
  restore
done <"$sites"
cmake --build "$build" --target "${targets[@]}" >/dev/null
echo "seed $seed: caught $caught of $tried"
