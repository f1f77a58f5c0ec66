#!/usr/bin/env bash
# The copy of the listening core a device maker drops in (scripts/vendor-listener.sh): every
# manifest parses, holds the fields its build system requires and lists the same sources; the
# flat src/ builds as C++17 with the flags of Arduino cores for a Cortex-M0+ and a Cortex-M4F
# (and on the host, pedantic), and the Makefile fragment builds it as a firmware's Makefile would;
# the example firmware built from the copy for a Cortex-M0+ and an RV32IMC hears a message.
#   vendored-test.sh REPO SONICSEND_CLI
set -euo pipefail
repo=$1 cli=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=$work/copy
"$repo/scripts/vendor-listener.sh" "$out" >/dev/null
version=$(sed -n 's/^project(velarto VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")

# Debian's Python, which python3-yaml serves (another python3 may come first on the PATH).
/usr/bin/python3 - "$out" "$version" <<'PY'
import json, re, sys, yaml
out, version = sys.argv[1:]
sources = open(f'{out}/sources.txt').read().split()
problems = []
def need(ok, what):
    if not ok: problems.append(what)

properties = dict(line.split('=', 1) for line in open(f'{out}/library.properties').read().splitlines()
                  if line and not line.startswith('#'))
for field in ('name', 'version', 'author', 'maintainer', 'sentence', 'paragraph', 'category',
              'url', 'architectures'):
    need(field in properties, f'library.properties: no {field}')
need(properties.get('version') == version, 'library.properties: another version')
need(properties.get('includes') == 'sonicsend_listener.h', 'library.properties: not the one header')

platformio = json.load(open(f'{out}/library.json'))
for field in ('name', 'version', 'description'):
    need(field in platformio, f'library.json: no {field}')
need(platformio.get('version') == version, 'library.json: another version')

idf = yaml.safe_load(open(f'{out}/idf_component.yml'))
need(str(idf.get('version')) == version, 'idf_component.yml: no version or another')
idf_cmake = open(f'{out}/CMakeLists.txt').read()
need(re.search(r'idf_component_register\(SRCS ([^)]*)INCLUDE_DIRS src\)', idf_cmake, re.S)
     and idf_cmake.split('SRCS', 1)[1].split('INCLUDE_DIRS')[0].split() == sources,
     'CMakeLists.txt: not idf_component_register of the sources')

zephyr = yaml.safe_load(open(f'{out}/zephyr/module.yml'))
need(zephyr.get('build', {}).get('cmake') == 'zephyr', 'module.yml: no build.cmake')
need(zephyr.get('build', {}).get('kconfig') == 'zephyr/Kconfig', 'module.yml: no build.kconfig')
need('config SONICSEND_LISTENER' in open(f'{out}/zephyr/Kconfig').read(), 'Kconfig: no option')
zephyr_sources = re.findall(r'\$\{ZEPHYR_CURRENT_MODULE_DIR\}/(src/\S+\.cpp)',
                            open(f'{out}/zephyr/CMakeLists.txt').read())
need(zephyr_sources == sources, 'zephyr/CMakeLists.txt: other sources')

make_sources = re.findall(r'\$\(SONICSEND_LISTENER_DIR\)(src/\S+\.cpp)',
                          open(f'{out}/sonicsend_listener.mk').read())
need(make_sources == sources, 'sonicsend_listener.mk: other sources')
need(len(sources) > 0 and all(s.startswith('src/sonicsend_') for s in sources), 'sources.txt')
for problem in problems: print(f'vendored copy: {problem}', file=sys.stderr)
sys.exit(1 if problems else 0)
PY

# Every source alone, as an Arduino core compiles a library's files: its own standard and
# flags, the library's src/ on the include path.
common=(-std=gnu++17 -Os -Wall -Wextra -Werror -Wno-psabi -fno-exceptions -fno-rtti -ffunction-sections
        -fdata-sections -I"$out/src")
build() {
  local name=$1
  shift
  mkdir -p "$work/$name"
  for source in $(cat "$out/sources.txt"); do
    "$@" "${common[@]}" -c "$out/$source" -o "$work/$name/$(basename "$source" .cpp).o"
  done
  echo "src/ builds for $name"
}
build cortex-m0plus arm-none-eabi-g++ -mcpu=cortex-m0plus -mthumb
build cortex-m4f arm-none-eabi-g++ -mcpu=cortex-m4 -mthumb -mfloat-abi=hard -mfpu=fpv4-sp-d16
build host g++ -Wpedantic -Wconversion -Wshadow

# A firmware's Makefile including the fragment, for a Cortex-M0+ and for RV32IMC. Debian has
# no C++ library for RISC-V: the core needs only header-only parts, and the Arm package's
# headers serve (with picolibc's C headers).
cat >"$work/Makefile" <<EOF
include $out/sonicsend_listener.mk
CXXFLAGS := \$(TARGET_FLAGS) \$(SONICSEND_LISTENER_CXXFLAGS) -Wall -Werror -Wno-psabi
OBJS := \$(patsubst %.cpp,\$(BUILD)/%.o,\$(notdir \$(SONICSEND_LISTENER_SRCS)))
\$(BUILD)/listener.a: \$(OBJS)
	\$(AR) rcs \$@ \$^
\$(BUILD)/%.o: $out/src/%.cpp
	@mkdir -p \$(dir \$@)
	\$(CXX) \$(SONICSEND_LISTENER_CPPFLAGS) \$(CXXFLAGS) -c \$< -o \$@
EOF
makeFor() {
  local name=$1 prefix=$2 flags=$3
  make -s -f "$work/Makefile" -j2 BUILD="$work/make-$name" CXX="${prefix}g++" AR="${prefix}ar" \
    TARGET_FLAGS="$flags" >/dev/null
  symbols=$("${prefix}nm" "$work/make-$name/listener.a")
  grep -q ' T sonicsendListenerInit$' <<<"$symbols"
  echo "the Makefile fragment builds the core for $name"
}
newlibCxx=/usr/include/newlib/c++/12.2.1
makeFor cortex-m0plus arm-none-eabi- "-mcpu=cortex-m0plus -mthumb"
makeFor rv32imc riscv64-unknown-elf- "-march=rv32imc -mabi=ilp32 -misa-spec=2.2 \
  --specs=picolibc.specs -isystem $newlibCxx -isystem $newlibCxx/arm-none-eabi"

# The example firmware from the copy alone, on each emulated chip without an FPU.
"$cli" encode --ssid 'Vendored' --key 'from the copy' --passes 3 -o "$work/sent.wav"
for target in m0plus:arm-none-eabi rv32:riscv32-elf; do
  name=${target%%:*}
  cmake -S "$repo/receiver/core/firmware" -B "$work/firmware-$name" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/${target#*:}.cmake" -DSONICSEND_ARM_CPU="$name" \
    -DCMAKE_BUILD_TYPE=Release -DSONICSEND_LISTENER_DIR="$out" >/dev/null
  cmake --build "$work/firmware-$name" >/dev/null
  heard=$("$repo/scripts/mcu-decode.sh" "$work/sent.wav" --target "$name" \
    --firmware "$work/firmware-$name/fw.elf")
  grep -q '"ssid":"Vendored","key":"from the copy"' <<<"$heard" ||
    { echo "the firmware from the copy on $name heard: $heard" >&2; exit 1; }
  echo "the firmware built from the copy hears it on $name"
done
