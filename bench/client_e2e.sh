#!/usr/bin/env bash
# bench/client_e2e.sh: tarvin-remote against tarvin-example-host logging at
# its full rate (--rate max, every level enabled) with 1 and with 2 logging
# threads. tail, tail --json, forward (to a UDP and to a TCP collector) and
# record (into a fresh record store) each follow the host for --seconds and
# say what they received and lost; one Markdown table sums it up. Targets:
# no record lost.
#
# Builds Release binaries in build/bench and runs in a network namespace of
# its own (common/in_netns.sh), like bench/run. A benchmark, not a test: on
# a shared two-core machine a loss is a reason to profile, so the exit
# status only says whether every run could be made.
set -euo pipefail

usage() {
  cat <<'USAGE'
usage: bench/client_e2e.sh [--seconds=N] [--threads="1 2"] [--clients="tail json udp tcp record"] [--rcvbuf=SIZE]

  --seconds=N    how long each client follows the host (30)
  --threads=LIST the host's logging threads, one run each (1 2)
  --clients=LIST tail (text), json (tail --json), udp and tcp (forward),
                 record (into a store in a temporary folder)
  --rcvbuf=SIZE  the clients' --rcvbuf (their default: 32M)

With TARVIN_E2E_LOGS=DIR, each client's stderr is kept there as
THREADS-CLIENT.err.
USAGE
}

seconds=30 threads="1 2" clients="tail json udp tcp record" rcvbuf=""
for arg in "$@"; do
  case "$arg" in
    --seconds=*) seconds="${arg#--seconds=}" ;;
    --threads=*) threads="${arg#--threads=}" ;;
    --clients=*) clients="${arg#--clients=}" ;;
    --rcvbuf=*) rcvbuf="${arg#--rcvbuf=}" ;;
    -h|--help) usage; exit 0 ;;
    *) echo "client_e2e.sh: error: unknown argument '$arg'" >&2; usage >&2; exit 2 ;;
  esac
done

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/bench"

if [[ -z "${TARVIN_E2E_INSIDE:-}" ]]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVIN_BUILD_BENCHMARKS=ON -DBUILD_TESTING=OFF \
    -DTARVIN_BUILD_TOOLS=ON >/dev/null
  cmake --build "$build" --target tarvin-remote tarvin-example-host tarvint_remote >/dev/null
  export TARVIN_E2E_INSIDE=1
  exec "$root/common/in_netns.sh" --warn client_e2e.sh "$0" "$@"
fi

remote="$build/tools/tarvin-remote"
host_bin="$build/tools/tarvin-example-host"
plugin="$(ls "$build"/lib/libtarvint_remote.so.1 2>/dev/null || find "$build" -name 'libtarvint_remote.so.1' | head -1)"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

# A collector that takes everything and keeps nothing; prints its port.
cat >"$work/collector.py" <<'PY'
import socket, sys
kind = socket.SOCK_DGRAM if sys.argv[1] == "udp" else socket.SOCK_STREAM
s = socket.socket(socket.AF_INET, kind)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1], flush=True)
if kind == socket.SOCK_DGRAM:
    while s.recv(1 << 16):  # read, so nothing comes back as unreachable
        pass
s.listen(1)
c, _ = s.accept()
while c.recv(1 << 20):
    pass
PY

echo "| host threads | client | received/s | offered/s | lost (gaps) | kernel drops | exit |"
echo "|---|---|---|---|---|---|---|"
status=0
for n in $threads; do
  for client in $clients; do
    "$host_bin" --plugin "$plugin" --rate max --threads "$n" >"$work/host.out" 2>&1 &
    host=$!
    for _ in $(seq 50); do grep -q "target port" "$work/host.out" && break; sleep 0.1; done
    port="$(sed -n 's/^target port //p' "$work/host.out")"
    target="127.0.0.1:$port"
    for component in net db ui; do "$remote" set-level "$target" "$component" +debug,+trace >/dev/null; done
    args=(tail "$target")
    collector=""
    case "$client" in
      json) args+=(--json) ;;
      record) rm -f "$work"/records.db*; args=(record --db "$work/records.db" "$target") ;;
      udp|tcp)
        : >"$work/port"
        python3 "$work/collector.py" "$client" >"$work/port" &
        collector=$!
        for _ in $(seq 50); do [[ -s "$work/port" ]] && break; sleep 0.1; done
        args=(forward "$target" --to "$client://127.0.0.1:$(cat "$work/port")") ;;
    esac
    [[ -n "$rcvbuf" ]] && args+=(--rcvbuf "$rcvbuf")
    set +e
    "$remote" "${args[@]}" --duration "${seconds}s" >/dev/null 2>"$work/client.err"
    code=$?
    set -e
    kill "$host" 2>/dev/null || true
    wait "$host" 2>/dev/null || true
    if [[ -n "$collector" ]]; then  # a TCP collector ends with the connection
      kill "$collector" 2>/dev/null || true
      wait "$collector" 2>/dev/null || true
    fi
    cp "$work/client.err" "${TARVIN_E2E_LOGS:-$work}/$n-$client.err" 2>/dev/null || true
    summary="$(grep -o 'received [0-9]* records; [0-9]* lost (sequence gaps); [0-9]* datagrams' "$work/client.err" | tail -1)"
    if [[ -z "$summary" ]]; then
      echo "client_e2e.sh: $client with $n threads made no summary:" >&2
      cat "$work/client.err" >&2
      status=1
      continue
    fi
    read -r received lost drops < <(echo "$summary" | awk '{print $2, $4, $8}')
    awk -v n="$n" -v c="$client" -v r="$received" -v l="$lost" -v d="$drops" -v s="$seconds" -v e="$code" \
      'BEGIN { printf "| %s | %s | %.1f k/s | %.1f k/s | %d | %d | %d |\n", n, c, r / s / 1000, (r + l) / s / 1000, l, d, e }'
  done
done
exit $status
