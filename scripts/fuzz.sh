#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan and UBSan) and runs each for a bounded time, about a
# minute by default (FUZZ_SECONDS). New inputs found go to build/fuzz/corpus/, kept between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target fuzz_store fuzz_decoder

corpus=build/fuzz/corpus/store
mkdir -p "$corpus"
# The target rewrites a scratch file for every input: keep it in memory where possible.
if [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
# The store logs each file it reads; -close_fd_mask=2 silences that, not libFuzzer's reports.
build/fuzz/tests/fuzz_store -max_total_time="$seconds" -close_fd_mask=2 -print_final_stats=1 \
  -dict=tests/store/fuzz.dict "$corpus" tests/store/fuzz_corpus

# The decoder starts from a few short audio files in the containers and encodings it reads,
# made here so that the repository holds no binary files.
corpus=build/fuzz/corpus/decoder
seeds=build/fuzz/seeds/decoder
mkdir -p "$corpus" "$seeds"
for seed in wav:-b16 wav:-efloat flac:-b16 aiff:-b16 au:-b8 wav:-eima-adpcm; do
  type=${seed%%:*} encoding=${seed#*:}
  sox -n -r 8000 -c 2 $encoding "$seeds/${encoding#-}.$type" synth 0.05 sine 1000
done
build/fuzz/tests/fuzz_decoder -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=1024 \
  -print_final_stats=1 -dict=tests/receiver/fuzz.dict "$corpus" "$seeds"
