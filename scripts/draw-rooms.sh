#!/usr/bin/env bash
# Redraws docs/rooms.png: how often the reference receiver hears a random message in a
# simulated room (DRR 0 dB) against white noise, for one and three passes of the loop; with
# --device, docs/rooms-device.png: the same for the listening core through a 16 kHz microphone.
# Needs a release build (bench_rooms) and gnuplot. ROOMS_MESSAGES sets the messages per point
# (default 100; the desktop's sweep then takes about an hour on one core). ROOMS_CSV names the
# benchmark's saved CSV output to draw from instead of running it.
set -euo pipefail
cd "$(dirname "$0")/.."
export ROOMS_MESSAGES=${ROOMS_MESSAGES:-100}
sweep=Room
chart=docs/rooms.png
who="the reference receiver"
if [ "${1:-}" = --device ]; then
  sweep=DeviceRoom
  chart=docs/rooms-device.png
  who="the listening core (16 kHz microphone)"
fi
data=$(mktemp)
trap 'rm -f "$data"' EXIT

# Benchmark rows "<sweep>/<rt60 ms>/<snr dB>/<passes>/iterations:1", counters heard_pct, wrong.
if [ -n "${ROOMS_CSV:-}" ]; then
  cat "$ROOMS_CSV"
else
  build/release/bench/bench_rooms --benchmark_filter="^$sweep/" --benchmark_format=csv 2>/dev/null
fi |
  awk -F, 'NR > 1 {
      gsub(/"/, "", $1); split($1, key, "/")
      print key[4], key[2] / 1000, key[3], $(NF - 1), $NF
    }' | sort -k1,1n -k2,2n -k3,3n >"$data"

wrong=$(awk '{ sum += $5 } END { print sum + 0 }' "$data")
echo "wrong messages over the whole sweep: $wrong"

gnuplot <<PLOT
set terminal pngcairo size 1100,460 font "sans,10"
set output "$chart"
set multiplot layout 1,2 title "Messages heard by ${who} in a room (DRR 0 dB), white noise, ${ROOMS_MESSAGES} random messages per cell; wrong messages: ${wrong}"
set xlabel "SNR (dB)"
set ylabel "RT60 (s), 0 = no room"
set cbrange [0:100]
set cblabel "heard (%)"
set palette defined (0 "#b2182b", 50 "#f4a582", 90 "#f7f7f7", 100 "#2166ac")
set xtics 5
set ytics 0.2
set xrange [-12.5:22.5]
set yrange [-0.1:1.3]
unset key
do for [passes in "1 3"] {
  set title sprintf("%s pass%s", passes, passes eq "1" ? "" : "es")
  plot "$data" using (\$1 == passes + 0 ? \$3 : 1/0):2:(2.5):(0.1):4 \
         with boxxyerror fill solid border lc rgb "white" fc palette, \
       "" using (\$1 == passes + 0 ? \$3 : 1/0):2:(sprintf("%d", \$4)) with labels font "sans,8"
}
unset multiplot
PLOT
echo "$chart drawn"
