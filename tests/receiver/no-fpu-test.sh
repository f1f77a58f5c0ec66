#!/usr/bin/env bash
# The listening core on chips without an FPU, a Cortex-M0+ and an RV32IMC core, each emulated:
# it hears a message as the M4F does. Every object of the M0+'s core and firmware is armv6-m
# (QEMU runs it on a Cortex-M3, which would not trap a v7-m instruction), and mcu-decode.sh
# refuses another target's firmware. A timer interrupt pushing the audio far faster than either
# reads it drops audio, yet every poll returns within its bound.
#   no-fpu-test.sh SONICSEND_CLI M0PLUS_FIRMWARE_DIR RV32_FIRMWARE M4F_FIRMWARE
set -euo pipefail
cli=$1 m0plus=$2 rv32=$3 m4f=$4
decode=$(cd "$(dirname "$0")/../.." && pwd)/scripts/mcu-decode.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for file in "$m0plus/libreceiver_core.a" "$m0plus/fw.elf"; do
  attributes=$(arm-none-eabi-readelf -A "$file")
  objects=$(grep -c 'Tag_CPU_arch:' <<<"$attributes")
  armv6m=$(grep -c 'Tag_CPU_arch: v6S-M$' <<<"$attributes")
  [ "$objects" -gt 0 ] && [ "$objects" = "$armv6m" ] ||
    { echo "$file: $armv6m of $objects objects are armv6-m" >&2; exit 1; }
done
echo "every object of the M0+ build is armv6-m"

"$cli" encode --ssid 'Café Wi-Fi' --key 'correct horse' --passes 3 -o "$work/sent.wav"
for target in m0plus:$m0plus/fw.elf rv32:$rv32; do
  heard=$("$decode" "$work/sent.wav" --target "${target%%:*}" --firmware "${target#*:}")
  grep -q '"ssid":"Café Wi-Fi","key":"correct horse"' <<<"$heard" ||
    { echo "heard on $target: $heard" >&2; exit 1; }
  echo "${target%%:*} hears it: $heard"
done

# A block every 50 000 instructions: several times as fast as either core reads a message.
mostPoll=3000000
for target in m0plus:$m0plus/fw.elf rv32:$rv32; do
  status=0
  heard=$("$decode" "$work/sent.wav" --target "${target%%:*}" --firmware "${target#*:}" \
    --interrupt-every 50000) || status=$?
  dropped=$(grep -o '"dropped_samples":[0-9]*' <<<"$heard" | cut -d: -f2)
  poll=$(grep -o '"largest_poll_instructions":[0-9]*' <<<"$heard" | cut -d: -f2)
  [ "$status" -le 1 ] && [ "${dropped:-0}" -gt 0 ] && [ "${poll:-$mostPoll}" -le "$mostPoll" ] ||
    { echo "audio faster than ${target%%:*} reads it: status $status, $heard" >&2; exit 1; }
  echo "${target%%:*} drops audio it cannot read and polls within $poll instructions"
done

for refused in "m0plus $m4f beyond armv6-m" "rv32 $m4f not an ELF executable for RV32"; do
  read -r target firmware why <<<"$refused"
  status=0
  "$decode" "$work/sent.wav" --target "$target" --firmware "$firmware" 2>"$work/refused" ||
    status=$?
  [ "$status" = 2 ] && grep -q "$why" "$work/refused" ||
    { echo "$firmware was not refused for $target (status $status)" >&2; cat "$work/refused" >&2; exit 1; }
  echo "the M4F's firmware is refused for $target"
done
