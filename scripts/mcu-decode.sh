#!/usr/bin/env bash
# Decodes a recording on the listening core inside an emulated chip: a Cortex-M4F (QEMU's
# mps2-an386; --target m4f, the default), a Cortex-M0+ (--target m0plus: its armv6-m code on
# mps2-an385's Cortex-M3, which runs it alike; every object must be armv6-m, as the M3 would not
# trap an instruction the M0+ lacks) or an RV32IMC core (--target rv32: QEMU's virt):
# converts FILE (anything sox reads) to mono 16-bit at RATE, feeds it to the example firmware
# and prints its one JSON line: ssid, key (as `sonicsend decode --json` writes them; null when
# nothing was heard), instructions_per_second (in push and poll, per second of audio),
# largest_poll_instructions, dropped_samples (audio the listener had no room for), ram_bytes
# (the listener's state), stack_bytes (painted), and how it was heard.
#   scripts/mcu-decode.sh FILE [--rate RATE] [--target m4f|m0plus|rv32] [--firmware fw.elf]
#                         [--interrupt-every N]
# RATE: 8000, 16000 (default), 22050, 44100 or 48000. By default the firmware pushes a block of
# 256 samples and polls, in turn. --interrupt-every N: a timer interrupt pushes each block, one
# every N instructions (at least 1000; on rv32 rounded down to a multiple of 100, the timer's
# tick), the recording and then silence while the run lasts, and the main loop only polls until
# the recording is all pushed; largest_poll_instructions is then a poll's own, without the
# interrupt's, and a poll still running after 100 M instructions ends the run (status 2). Without --firmware (or
# SONICSEND_FIRMWARE) the target's firmware is built into build/firmware (build/firmware-m0plus,
# build/firmware-rv32) when it is not there yet; a firmware that is no 32-bit ELF executable
# for the target's architecture, or for m0plus not armv6-m throughout, is refused before QEMU
# starts.
# Exit status: 0 heard, 1 not heard, 2 could not run.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
rate=16000
firmware=${SONICSEND_FIRMWARE:-}
every=""
bios=""
target=m4f
file=""
while [ $# -gt 0 ]; do
  case $1 in
    --rate) rate=${2:-}; shift 2 || { echo "mcu-decode: --rate needs a value" >&2; exit 2; } ;;
    --firmware) firmware=${2:-}; shift 2 || { echo "mcu-decode: --firmware needs a path" >&2; exit 2; } ;;
    --target) target=${2:-}; shift 2 || { echo "mcu-decode: --target needs a value" >&2; exit 2; } ;;
    --interrupt-every) every=${2:-}; shift 2 || { echo "mcu-decode: --interrupt-every needs a count" >&2; exit 2; } ;;
    -*) echo "mcu-decode: unknown option $1" >&2; exit 2 ;;
    *) [ -z "$file" ] || { echo "mcu-decode: one file only" >&2; exit 2; }; file=$1; shift ;;
  esac
done
[ -n "$file" ] || { echo "usage: mcu-decode.sh FILE [--rate RATE] [--target m4f|m0plus|rv32] [--firmware fw.elf] [--interrupt-every N]" >&2; exit 2; }
# Each target: QEMU and its machine, the firmware's build and toolchain, the ELF machine number
# (e_machine, little-endian) and its name.
case $target in
  m4f) qemu=qemu-system-arm machine=mps2-an386 build=$repo/build/firmware
       toolchain=arm-none-eabi elfMachine=2800 architecture="32-bit Arm" ;;
  m0plus) qemu=qemu-system-arm machine=mps2-an385 build=$repo/build/firmware-m0plus
          toolchain=arm-none-eabi elfMachine=2800 architecture="32-bit Arm" ;;
  rv32) qemu=qemu-system-riscv32 machine=virt build=$repo/build/firmware-rv32
        toolchain=riscv32-elf elfMachine=f300 architecture="RV32" bios=none ;;
  *) echo "mcu-decode: --target is m4f, m0plus or rv32, not $target" >&2; exit 2 ;;
esac
[ -r "$file" ] || { echo "mcu-decode: cannot read $file" >&2; exit 2; }
case $rate in 8000|16000|22050|44100|48000) ;; *) echo "mcu-decode: rate $rate not supported" >&2; exit 2 ;; esac
[ -z "$every" ] || [[ $every =~ ^[1-9][0-9]{3,8}$ ]] ||
  { echo "mcu-decode: --interrupt-every takes 1000 to 999999999 instructions" >&2; exit 2; }
for tool in sox "$qemu"; do
  command -v "$tool" >/dev/null || { echo "mcu-decode: $tool not found (scripts/install-deps.sh test)" >&2; exit 2; }
done

if [ -z "$firmware" ]; then
  firmware=$build/fw.elf
  # Built when missing, and brought up to date with the sources every time.
  log=$({ [ -f "$build/build.ninja" ] ||
          cmake -S "$repo/receiver/core/firmware" -B "$build" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$toolchain.cmake" -DSONICSEND_ARM_CPU="$target" \
            -DCMAKE_BUILD_TYPE=Release; } &&
        cmake --build "$build" 2>&1) ||
    { echo "$log" >&2; echo "mcu-decode: cannot build the firmware" >&2; exit 2; }
fi
[ -f "$firmware" ] || { echo "mcu-decode: no firmware at $firmware" >&2; exit 2; }
firmware=$(realpath "$firmware")
# QEMU runs whatever it is given and ends a file built for another core in a lockup and a dump
# of its registers: the firmware must be an ELF executable for the machine's core. The ELF
# header starts 7f 'E' 'L' 'F', then class and byte order (01 01: 32-bit, little-endian); bytes
# 16 to 19 hold e_type 2 (an executable) and e_machine (0x28 Arm, 0xf3 RISC-V).
header=$(od -An -v -tx1 -N20 "$firmware" 2>/dev/null | tr -d ' \n')
[ "${header:0:12}" = 7f454c460101 ] && [ "${header:32:8}" = "0200$elfMachine" ] ||
  { echo "mcu-decode: $firmware is not an ELF executable for $architecture, as $machine runs" >&2; exit 2; }
# The linker gives the firmware the newest architecture of any object in it.
if [ "$target" = m0plus ] &&
   ! arm-none-eabi-readelf -A "$firmware" 2>/dev/null | grep -q 'Tag_CPU_arch: v6S-M$'; then
  echo "mcu-decode: $firmware holds code beyond armv6-m, which a Cortex-M0+ cannot run" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# No dither: the same file gives the same samples, and the same instruction count.
sox -D "$file" -r "$rate" -c 1 -b 16 -e signed-integer -L -t raw "$work/input.s16" 2>"$work/sox.log" ||
  { cat "$work/sox.log" >&2; echo "mcu-decode: sox cannot read $file" >&2; exit 2; }
(cd "$work" && timeout 900 "$qemu" -M "$machine" ${bios:+-bios "$bios"} -nographic -monitor none -serial none \
   -semihosting-config "enable=on,target=native,arg=fw.elf,arg=$rate,arg=input.s16${every:+,arg=$every}" \
   -icount shift=0 -kernel "$firmware" </dev/null >"$work/out" 2>&1)
status=$?
line=$(grep -m1 '^{' "$work/out")
if [ $status -le 1 ] && [ -n "$line" ]; then
  echo "$line"
  exit $status
fi
cat "$work/out" >&2
echo "mcu-decode: the firmware did not run to its end (status $status)" >&2
exit 2
