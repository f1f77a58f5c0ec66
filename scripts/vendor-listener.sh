#!/usr/bin/env bash
# Makes a copy of the listening core that a device maker drops into a firmware tree:
#
#   scripts/vendor-listener.sh OUT
#
# OUT/src holds the core's sources with prefixed names (sonicsend_*.h, sonicsend_*.cpp), so that
# none collides with a firmware's own, and one public header, sonicsend_listener.h (the
# project's listener.h). Beside them, one manifest per build system, each listing the same
# sources and flags:
#   sources.txt                    the sources, one per line, relative to OUT
#   sonicsend_listener.mk          a Makefile fragment (SONICSEND_LISTENER_SRCS, _CPPFLAGS, _CXXFLAGS)
#   CMakeLists.txt, idf_component.yml                  an ESP-IDF component
#   library.properties                                 an Arduino library (src/)
#   library.json                                       a PlatformIO library
#   zephyr/module.yml, zephyr/CMakeLists.txt, zephyr/Kconfig   a Zephyr module
# and the core's README.md and the LICENSE. The copy is C++17; OUT is replaced if it exists.
set -euo pipefail
usage() { echo "Usage: scripts/vendor-listener.sh OUT" >&2; exit 2; }
[ $# -eq 1 ] || usage
case $1 in -*) usage ;; esac
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$1
core=$repo/receiver/core
version=$(sed -n 's/^project(velarto VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
[ -n "$version" ] || { echo "vendor-listener: no project version in CMakeLists.txt" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out/src" "$out/zephyr"

# The sources as the core's own build lists them, the core's headers and the protocol's.
mapfile -t sources < <(sed -n 's|^ *${CMAKE_CURRENT_LIST_DIR}/\([A-Za-z]*\.cpp\))*$|\1|p' \
  "$core/sources.cmake")
headers=()
for header in "$core"/*.h "$repo/protocol/tones.h"; do headers+=("$(basename "$header")"); done

# Each local include "name.h" becomes "sonicsend_name.h".
rename=()
for header in "${headers[@]}"; do rename+=(-e "s|#include \"$header\"|#include \"sonicsend_$header\"|"); done
for file in "${sources[@]}"; do sed "${rename[@]}" "$core/$file" >"$out/src/sonicsend_$file"; done
for header in "${headers[@]}"; do
  from=$core/$header
  [ -f "$from" ] || from=$repo/protocol/$header
  sed "${rename[@]}" "$from" >"$out/src/sonicsend_$header"
done
{
  echo "(This copy of the listening core $version names every file with the prefix sonicsend_:"
  echo "include \`sonicsend_listener.h\`, the project's \`listener.h\`. Made by"
  echo "scripts/vendor-listener.sh.)"
  echo
  cat "$core/README.md"
} >"$out/README.md"
cp "$repo/LICENSE" "$out/LICENSE"

list() { for file in "${sources[@]}"; do printf '%s%s\n' "$1" "sonicsend_$file"; done; }
list src/ >"$out/sources.txt"
# The flags that matter; -O2, not -Os (which costs about a fifth more instructions).
flags="-O2 -ffp-contract=off -fno-exceptions -fno-rtti -fno-threadsafe-statics"
description="Hears Wi-Fi credentials sent by sound: a listening core in fixed memory, no heap"

cat >"$out/sonicsend_listener.mk" <<EOF
# The sonicsend listening core $version, for a Makefile: include this file, add the sources to
# your build, the include flag to your preprocessor flags, and build them with the C++ flags
# (C++17 or later; never -ffast-math).
SONICSEND_LISTENER_DIR := \$(dir \$(lastword \$(MAKEFILE_LIST)))
SONICSEND_LISTENER_SRCS := $(list '$(SONICSEND_LISTENER_DIR)src/' | tr '\n' ' ')
SONICSEND_LISTENER_CPPFLAGS := -I\$(SONICSEND_LISTENER_DIR)src
SONICSEND_LISTENER_CXXFLAGS := -std=gnu++17 $flags
EOF

cat >"$out/CMakeLists.txt" <<EOF
# The sonicsend listening core $version as an ESP-IDF component.
idf_component_register(SRCS $(list src/ | tr '\n' ' ')
                       INCLUDE_DIRS src)
target_compile_options(\${COMPONENT_LIB} PRIVATE -std=gnu++17 $flags)
EOF

cat >"$out/idf_component.yml" <<EOF
version: "$version"
description: "$description"
license: "MIT"
EOF

cat >"$out/library.properties" <<EOF
name=sonicsend-listener
version=$version
author=The velarto and sonicsend authors
maintainer=The velarto and sonicsend authors
sentence=$description.
paragraph=Feed it 16-bit samples from an I2S microphone at 8, 16, 22.05, 44.1 or 48 kHz; poll it from the main loop. C++17.
category=Communication
# The project has no public address yet.
url=
architectures=*
includes=sonicsend_listener.h
EOF

cat >"$out/library.json" <<EOF
{
  "name": "sonicsend-listener",
  "version": "$version",
  "description": "$description",
  "keywords": ["wifi", "provisioning", "audio"],
  "license": "MIT",
  "frameworks": "*",
  "platforms": "*",
  "headers": "sonicsend_listener.h",
  "build": {
    "srcDir": "src",
    "includeDir": "src",
    "flags": ["-ffp-contract=off", "-fno-threadsafe-statics"]
  }
}
EOF

cat >"$out/zephyr/module.yml" <<EOF
name: sonicsend-listener
build:
  cmake: zephyr
  kconfig: zephyr/Kconfig
EOF

cat >"$out/zephyr/Kconfig" <<EOF
config SONICSEND_LISTENER
	bool "sonicsend listening core"
	depends on CPP
	help
	  Hears Wi-Fi credentials sent by sound (C++17, no heap).
EOF

cat >"$out/zephyr/CMakeLists.txt" <<EOF
# The sonicsend listening core $version as a Zephyr module.
if(CONFIG_SONICSEND_LISTENER)
  zephyr_library()
  zephyr_library_sources($(list '${ZEPHYR_CURRENT_MODULE_DIR}/src/' | tr '\n' ' '))
  zephyr_include_directories(\${ZEPHYR_CURRENT_MODULE_DIR}/src)
  zephyr_library_compile_options(-ffp-contract=off -fno-threadsafe-statics)
endif()
EOF
echo "vendor-listener: the listening core $version in $out"
