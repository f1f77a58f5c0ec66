#!/usr/bin/env bash
# The listening core on a Cortex-M0+: every object of the core and of the firmware is armv6-m
# (QEMU runs it on a Cortex-M3, which would not trap a v7-m instruction), it hears a message
# as the host does, and mcu-decode.sh refuses the M4F's firmware for this target.
#   m0plus-test.sh SONICSEND_CLI M0PLUS_FIRMWARE_DIR M4F_FIRMWARE
set -euo pipefail
cli=$1 dir=$2 m4f=$3
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for file in "$dir/libreceiver_core.a" "$dir/fw.elf"; do
  attributes=$(arm-none-eabi-readelf -A "$file")
  objects=$(grep -c 'Tag_CPU_arch:' <<<"$attributes")
  armv6m=$(grep -c 'Tag_CPU_arch: v6S-M$' <<<"$attributes")
  [ "$objects" -gt 0 ] && [ "$objects" = "$armv6m" ] ||
    { echo "$file: $armv6m of $objects objects are armv6-m" >&2; exit 1; }
done
echo "every object is armv6-m"

"$cli" encode --ssid 'Café Wi-Fi' --key 'correct horse' --passes 3 -o "$work/sent.wav"
heard=$("$repo/scripts/mcu-decode.sh" "$work/sent.wav" --target m0plus --firmware "$dir/fw.elf")
grep -q '"ssid":"Café Wi-Fi","key":"correct horse"' <<<"$heard" ||
  { echo "heard on the M0+: $heard" >&2; exit 1; }
echo "the M0+ hears it: $heard"

status=0
"$repo/scripts/mcu-decode.sh" "$work/sent.wav" --target m0plus --firmware "$m4f" \
  2>"$work/refused" || status=$?
[ "$status" = 2 ] && grep -q 'beyond armv6-m' "$work/refused" ||
  { echo "the M4F's firmware was not refused (status $status)" >&2; cat "$work/refused" >&2; exit 1; }
echo "the M4F's firmware is refused for the M0+"
