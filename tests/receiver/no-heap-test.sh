#!/usr/bin/env bash
# Fails when the listening core's object code (or the firmware built on it) holds or refers to
# the heap or exception handling: malloc, free, operator new or delete, throwing, unwinding.
#   no-heap-test.sh NM LIBRARY [NM LIBRARY ...]
set -euo pipefail
forbidden='^(malloc|calloc|realloc|free|_sbrk|_Znw.*|_Zna.*|_Zdl.*|_Zda.*|__cxa_throw|__cxa_allocate_exception|__cxa_begin_catch|__gxx_personality_v0|_Unwind_.*)$'
found=0
while [ $# -ge 2 ]; do
  nm=$1 library=$2
  shift 2
  references=$("$nm" "$library" | awk '{print $NF}' | grep -E "$forbidden" | sort -u || true)
  if [ -n "$references" ]; then
    echo "$library refers to:" $references
    found=1
  else
    echo "$library: no heap, no exceptions"
  fi
done
exit $found
