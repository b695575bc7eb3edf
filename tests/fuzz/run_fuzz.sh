#!/bin/bash
# tests/fuzz/run_fuzz.sh: builds the request-path fuzzer with clang
# (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) from the
# plug-in's and the stand-in host's sources, and runs it in a network
# namespace of its own, seeded from tests/fuzz/corpus.
#
# The sources are compiled here rather than taken from the CMake build:
# libFuzzer needs every object built with clang's coverage instrumentation,
# and the default build may use another compiler.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: tests/fuzz/run_fuzz.sh [--ci] [--time SECONDS] [--build-only] [-- LIBFUZZER_ARGS...]

  --ci            bounded run for CI: a fixed number of executions with a
                  fixed seed; fails on a crash, a sanitizer report or a
                  datagram the target should not have sent
  --time SECONDS  length of a normal run (default 600)
  --build-only    build build/fuzz/remote_target_fuzzer and stop
  --help          this text
Arguments after -- go to libFuzzer (e.g. -jobs=2 -workers=2, or a crash
file to replay). New inputs go to build/fuzz/corpus, crashes to
build/fuzz/artifacts; the seeds in tests/fuzz/corpus are only read.
EOF
}

root=$(cd "$(dirname "$0")/../.." && pwd)
out=$root/build/fuzz
mode=normal
seconds=600
extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --ci) mode=ci ;;
    --time) seconds=$2; shift ;;
    --build-only) mode=build ;;
    --help|-h) usage; exit 0 ;;
    --) shift; extra=("$@"); break ;;
    *) echo "run_fuzz.sh: error: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

cxx=${CXX_FUZZ:-clang++}
if ! command -v "$cxx" >/dev/null; then
  echo "run_fuzz.sh: error: $cxx not found (set CXX_FUZZ to a clang++ with libFuzzer)" >&2
  exit 1
fi

# ---- build: one object per source, in parallel, then link ----
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer
       -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
       -I"$root/include" -I"$root/src" -I"$root/host/include")
mkdir -p "$out/obj" "$out/corpus" "$out/artifacts"
mapfile -t sources < <(cd "$root" && find src host -name '*.cpp' | sort; echo tests/fuzz/remote_target_fuzzer.cpp)
objects=()
stale() {  # object older than its source or than any header
  [ ! -f "$2" ] || [ "$1" -nt "$2" ] ||
    [ -n "$(find "$root/include" "$root/src" "$root/host/include" -name '*.h' -newer "$2" -print -quit)" ]
}
jobs_max=$(nproc)
for s in "${sources[@]}"; do
  obj=$out/obj/$(echo "$s" | tr / _).o
  objects+=("$obj")
  stale "$root/$s" "$obj" || continue
  rm -f "$obj"  # a failed compile then fails the link, not just this job
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n || true; done
  "$cxx" "${flags[@]}" -c "$root/$s" -o "$obj" &
done
wait || true  # a failed job's object is missing: the link below reports it
"$cxx" -fsanitize=fuzzer,address,undefined -pthread "${objects[@]}" -ldl -o "$out/remote_target_fuzzer"
[ "$mode" = build ] && { echo "built $out/remote_target_fuzzer"; exit 0; }

# ---- run ----
common=(-max_len=8192 -artifact_prefix="$out/artifacts/" -print_final_stats=1)
if [ "$mode" = ci ]; then
  # 13-30 s on a 2-core machine (2900-6500 runs/s, idle to busy); the limit
  # on time only guards against a machine far slower than that.
  args=(-runs="${FUZZ_RUNS:-80000}" -seed=1 -max_total_time=45 "${common[@]}")
else
  args=(-max_total_time="$seconds" "${common[@]}")
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cmd=("$out/remote_target_fuzzer" "${args[@]}" "${extra[@]}" "$out/corpus" "$root/tests/fuzz/corpus")

# Its own network namespace: the target binds 57008-57017, which other
# targets on this machine may hold, and nothing leaves loopback.
if unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "${cmd[@]}"
fi
echo "run_fuzz.sh: warning: no network namespace (needs root); running on this host's loopback" >&2
exec "${cmd[@]}"
