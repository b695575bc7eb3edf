#!/bin/sh
# tests/tools/thread_safety_test.sh: clang's -Wthread-safety refuses each
# locking mistake of thread_safety_faults.cpp against the shared annotated
# Mutex, and passes the same code done right, so a build with the analysis
# fails on such a mistake in the plug-in or the tools alike.
# Usage: thread_safety_test.sh CLANG++ INCLUDE_DIR SOURCE
set -u
compiler=$1 include=$2 source=$3
faults=4
out=$(mktemp)
trap 'rm -f "$out"' EXIT
failed=0
fault=0
while [ "$fault" -le "$faults" ]; do
  if "$compiler" -std=c++20 -fsyntax-only -Wthread-safety -Werror -I"$include" \
    -DTARVIN_FAULT="$fault" "$source" >"$out" 2>&1; then
    if [ "$fault" -ne 0 ]; then
      echo "fault $fault compiled without a warning"
      failed=1
    fi
  elif [ "$fault" -eq 0 ] || ! grep -q 'Wthread-safety' "$out"; then
    echo "fault $fault: not refused by the thread-safety analysis:"
    cat "$out"
    failed=1
  fi
  fault=$((fault + 1))
done
[ "$failed" -eq 0 ] && echo "each of $faults faults refused, the right code clean"
exit "$failed"
