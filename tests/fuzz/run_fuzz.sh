#!/bin/bash
# usage: tests/fuzz/run_fuzz.sh [--capture] [--ci] [--time SECONDS] [--build-only] [-- LIBFUZZER_ARGS...]
# Builds the fuzzers (the CMake preset `fuzz`: clang++, or CXX_FUZZ, with every object carrying
# libFuzzer's coverage instrumentation, ASan and UBSan) and runs the request-path fuzzer in a
# network namespace of its own, seeded from tests/fuzz/corpus. New inputs go to build/fuzz/corpus,
# crashes to build/fuzz/artifacts, arguments after -- to libFuzzer (-jobs=2, a crash file to replay).
#   --capture       run the capture reader fuzzer instead, seeded from tests/fuzz/capture_corpus
#                   (new inputs: build/fuzz/capture_corpus)
#   --ci            80000 executions with a fixed seed (FUZZ_RUNS overrides the count)
#   --time SECONDS  length of a normal run (default 600)
#   --build-only    build both fuzzers under build/fuzz/tests/fuzz and stop
set -euo pipefail
usage() { sed -n '2,12s/^# \{0,1\}//p' "$0"; }
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$root/build/fuzz mode=normal seconds=600 ci=() extra=()
name=remote_target_fuzzer corpus=corpus max_len=8192
while [ $# -gt 0 ]; do
  case $1 in
    --capture) name=capture_reader_fuzzer corpus=capture_corpus max_len=16384 ;;
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

(cd "$root" && cmake --preset fuzz -DCMAKE_CXX_COMPILER="$cxx" >/dev/null && cmake --build --preset fuzz)
mkdir -p "$out/$corpus" "$out/artifacts"
fuzzer=$out/tests/fuzz/$name
[ "$mode" = build ] && { echo "built $out/tests/fuzz/remote_target_fuzzer and capture_reader_fuzzer"; exit 0; }
# --ci takes 13-30 s on two cores; its time limit only guards against a far slower machine.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cmd=("$fuzzer" -max_len="$max_len" -artifact_prefix="$out/artifacts/$name-" -print_final_stats=1
     -max_total_time="$seconds" "${ci[@]}" "${extra[@]}" "$out/$corpus" "$root/tests/fuzz/$corpus")
# The target binds 57008-57017, which other targets on this machine may hold.
exec "$root/common/in_netns.sh" --warn run_fuzz.sh "${cmd[@]}"
