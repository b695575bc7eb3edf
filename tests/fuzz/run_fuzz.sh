#!/bin/bash
# usage: tests/fuzz/run_fuzz.sh [--ci] [--time SECONDS] [--build-only] [-- LIBFUZZER_ARGS...]
# Builds the request-path fuzzer with clang++ (CXX_FUZZ names another: every object needs its
# coverage instrumentation) under ASan and UBSan and runs it in a network namespace of its own,
# seeded from tests/fuzz/corpus. New inputs go to build/fuzz/corpus, crashes to build/fuzz/artifacts,
# arguments after -- to libFuzzer (-jobs=2, a crash file to replay).
#   --ci            80000 executions with a fixed seed (FUZZ_RUNS overrides the count)
#   --time SECONDS  length of a normal run (default 600)
#   --build-only    build build/fuzz/remote_target_fuzzer and stop
set -euo pipefail
usage() { sed -n '2,9s/^# \{0,1\}//p' "$0"; }
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$root/build/fuzz mode=normal seconds=600 ci=() extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --ci) mode=ci seconds=45 ci=(-runs="${FUZZ_RUNS:-80000}" -seed=1) ;;
    --time) seconds=$2; shift ;;
    --build-only) mode=build ;;
    --help|-h) usage; exit 0 ;;
    --) shift; extra=("$@"); break ;;
    *) echo "run_fuzz.sh: error: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done
cxx=${CXX_FUZZ:-clang++}
command -v "$cxx" >/dev/null || { echo "run_fuzz.sh: error: $cxx not found (set CXX_FUZZ)" >&2; exit 1; }

cd "$root" && mkdir -p "$out/obj" "$out/corpus" "$out/artifacts"
objects=()
for s in $(find src host -name '*.cpp' | sort) tests/fuzz/remote_target_fuzzer.cpp; do
  o=$out/obj/${s//\//_}.o && objects+=("$o")
  # Built again when older than its source or any header; a failed compile leaves none to link.
  [ -f "$o" ] && [ ! "$s" -nt "$o" ] && [ -z "$(find include src host/include -name '*.h' -newer "$o" -print -quit)" ] && continue
  rm -f "$o"
  [ "$(jobs -rp | wc -l)" -lt "$(nproc)" ] || wait -n || true
  "$cxx" -std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined \
    -fno-sanitize-recover=all -U_FORTIFY_SOURCE -Iinclude -Isrc -Ihost/include -c "$s" -o "$o" &
done
wait
"$cxx" -fsanitize=fuzzer,address,undefined -pthread "${objects[@]}" -ldl -o "$out/remote_target_fuzzer"
cd "$OLDPWD"  # a crash file to replay may be named relative to it
[ "$mode" = build ] && { echo "built $out/remote_target_fuzzer"; exit 0; }

# --ci takes 13-30 s on two cores; its time limit only guards against a far slower machine.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cmd=("$out/remote_target_fuzzer" -max_len=8192 -artifact_prefix="$out/artifacts/" -print_final_stats=1
     -max_total_time="$seconds" "${ci[@]}" "${extra[@]}" "$out/corpus" "$root/tests/fuzz/corpus")
# The target binds 57008-57017, which other targets on this machine may hold.
exec "$root/common/in_netns.sh" --warn run_fuzz.sh "${cmd[@]}"
