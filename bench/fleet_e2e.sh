#!/usr/bin/env bash
# bench/fleet_e2e.sh: the relay (record --db clickhouse://...) beside the
# SQLite recorder on the same loads, and queries over a big ClickHouse store,
# against a clickhouse-server this script starts with a scratch directory:
#   relay    one tarvin-example-host at its full rate (--rate max, every
#            level enabled) with two logging threads, followed for --seconds
#            by `record` into a SQLite file, then into the server: records
#            stored and lost, the recorder's CPU per record and the server's
#   four     four example hosts at --rate each and four recorders, one per
#            host: rows stored per second, CPU per row of the recorders and
#            of the server (SQLite: four files, the recorders do it all)
#   queries  --rows rows made by the server itself, then `query`: the newest
#            100 of one component and level, a regex over the text, --stats;
#            each with its wall time and the statements the server ran, with
#            the rows and bytes each read (18.16 has no EXPLAIN: the query
#            log is its plan)
# One Markdown table per part. Ratios compare runs of the same invocation.
#
# Builds Release binaries in build/bench (or uses --build=DIR) and runs in a
# network namespace of its own (common/in_netns.sh), like bench/run. A
# benchmark, not a test: the exit status only says whether every run could
# be made.
set -euo pipefail

usage() {
  cat <<'USAGE'
usage: bench/fleet_e2e.sh [--parts="relay four queries"] [--seconds=N] [--rate=N]
                          [--rows=N] [--build=DIR]

  --parts=LIST  which parts to run (all three)
  --seconds=N   how long each recorder follows its hosts (20)
  --rate=N      each host's records per second in "four" (25000)
  --rows=N      rows in the store the queries read (10000000)
  --build=DIR   a build tree with tarvin-remote, tarvin-example-host and the
                plug-in built already, instead of a Release build in build/bench
USAGE
}

parts="relay four queries" seconds=20 rate=25000 rows=10000000 given_build=""
for arg in "$@"; do
  case "$arg" in
    --parts=*) parts="${arg#--parts=}" ;;
    --seconds=*) seconds="${arg#--seconds=}" ;;
    --rate=*) rate="${arg#--rate=}" ;;
    --rows=*) rows="${arg#--rows=}" ;;
    --build=*) given_build="${arg#--build=}" ;;
    -h|--help) usage; exit 0 ;;
    *) echo "fleet_e2e.sh: error: unknown argument '$arg'" >&2; usage >&2; exit 2 ;;
  esac
done

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
server_bin=/usr/sbin/clickhouse-server
if [[ ! -x "$server_bin" ]]; then
  echo "fleet_e2e.sh: error: no $server_bin (scripts/install-deps.sh --tests installs it)" >&2
  exit 2
fi

if [[ -z "${TARVIN_FLEET_INSIDE:-}" ]]; then
  if [[ -n "$given_build" ]]; then
    build="$(cd "$given_build" && pwd)"
  else
    build="$root/build/bench"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVIN_BUILD_BENCHMARKS=ON \
      -DBUILD_TESTING=OFF -DTARVIN_BUILD_TOOLS=ON >/dev/null
    cmake --build "$build" --target tarvin-remote tarvin-example-host tarvint_remote >/dev/null
  fi
  export TARVIN_FLEET_INSIDE=1 TARVIN_FLEET_BUILD="$build"
  exec "$root/common/in_netns.sh" --warn fleet_e2e.sh "$0" "$@"
fi

build="$TARVIN_FLEET_BUILD"
remote="$build/tools/tarvin-remote"
host_bin="$build/tools/tarvin-example-host"
plugin="$(find "$build" -name 'libtarvint_remote.so.1' | head -1)"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
ticks="$(getconf CLK_TCK)"
ch="clickhouse://127.0.0.1:8123/logs"

# ---- the server ----

mkdir -p "$work/ch"
cat >"$work/ch/users.xml" <<'XML'
<?xml version="1.0"?>
<yandex>
  <profiles><default><log_queries>1</log_queries></default></profiles>
  <users><default><password></password><networks><ip>127.0.0.1</ip></networks>
    <profile>default</profile><quota>default</quota></default></users>
  <quotas><default></default></quotas>
</yandex>
XML
"$server_bin" --config-file=/etc/clickhouse-server/config.xml -- --path="$work/ch/data/" \
  --tmp_path="$work/ch/data/tmp/" --users_config="$work/ch/users.xml" --http_port=8123 \
  --tcp_port=9000 --listen_host=127.0.0.1 --logger.log="$work/ch/server.log" \
  --logger.errorlog="$work/ch/server.err.log" --logger.console=0 >/dev/null 2>"$work/ch/server.out" &
server=$!
for _ in $(seq 100); do
  [[ "$(curl -s http://127.0.0.1:8123/ping || true)" == "Ok." ]] && break
  sleep 0.2
done
sql() { curl -sS --fail-with-body http://127.0.0.1:8123/ --data-binary "$1"; }
sql "CREATE DATABASE logs" >/dev/null

# CPU seconds the server has used so far (all its threads).
server_cpu() { awk -v t="$ticks" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$server/stat"; }

# What the server spends doing nothing (its background threads), CPU
# seconds per second, so that per-row figures can leave it out.
idle_before="$(server_cpu)"
sleep 5
idle="$(awk -v a="$idle_before" -v b="$(server_cpu)" 'BEGIN { print (b - a) / 5 }')"
echo "server idle: $(awk -v i="$idle" 'BEGIN { printf "%.0f", i * 1000 }') ms CPU per second"
echo

# A fresh records table, made by record itself (a run with nothing to follow).
fresh_table() {
  sql "DROP TABLE IF EXISTS logs.records" >/dev/null
  sql "DROP TABLE IF EXISTS logs.records_audit" >/dev/null
  "$remote" record --db "$ch" --discover 127.0.0.2 --duration 1s >/dev/null 2>&1 || true
}

# Starts an example host (NAME RATE THREADS) with every level enabled; its
# target goes to $target, its pid to $host.
start_host() {
  "$host_bin" --plugin "$plugin" --name "$1" --rate "$2" --threads "$3" >"$work/$1.out" 2>&1 &
  host=$!
  for _ in $(seq 50); do grep -q "target port" "$work/$1.out" && break; sleep 0.1; done
  target="127.0.0.1:$(sed -n 's/^target port //p' "$work/$1.out")"
  for component in net db ui; do "$remote" set-level "$target" "$component" +debug,+trace >/dev/null; done
}

# One recorder: DB TARGET TAG. Its CPU goes to $work/TAG.cpu, stderr to .err.
record_one() {
  /usr/bin/time -f '%U %S' -o "$work/$3.cpu" \
    "$remote" record --db "$1" "$2" --duration "${seconds}s" >/dev/null 2>"$work/$3.err" || true
}
# stored, received and lost records of TAG's summary, and its CPU seconds.
outcome() {
  local stored received lost cpu
  stored="$(grep -o 'stored [0-9]* record' "$work/$1.err" | tail -1 | awk '{print $2}' || true)"
  received="$(grep -o 'received [0-9]* record' "$work/$1.err" | tail -1 | awk '{print $2}' || true)"
  lost="$(grep -o 'lost [0-9]* record' "$work/$1.err" | tail -1 | awk '{print $2}' || true)"
  cpu="$(tail -1 "$work/$1.cpu" | awk '{ print $1 + $2 }')"
  echo "${stored:-0} ${received:-0} ${lost:-0} $cpu"
}

status=0

if [[ " $parts " == *" relay "* ]]; then
  echo "### relay: one host, --rate max, two threads, ${seconds} s each"
  echo
  echo "| store | stored | stored/s | lost | recorder CPU/record | server CPU/record | recorder CPU vs SQLite's |"
  echo "|---|---|---|---|---|---|---|"
  start_host relay-host max 2
  fresh_table
  sqlite_ns=""
  for store in sqlite clickhouse; do
    db="$work/relay.db"
    [[ "$store" == clickhouse ]] && db="$ch"
    before="$(server_cpu)"
    record_one "$db" "$target" "relay-$store"
    after="$(server_cpu)"
    read -r stored received lost cpu < <(outcome "relay-$store")
    if (( stored == 0 )); then
      echo "fleet_e2e.sh: relay into $store stored nothing:" >&2
      cat "$work/relay-$store.err" >&2
      status=1
      continue
    fi
    per="$(awk -v c="$cpu" -v n="$stored" 'BEGIN { printf "%.0f", c * 1e9 / n }')"
    server_per="-"
    [[ "$store" == clickhouse ]] &&
      server_per="$(awk -v a="$before" -v b="$after" -v n="$stored" 'BEGIN { printf "%.0f ns", (b - a) * 1e9 / n }')"
    ratio="-"
    if [[ "$store" == sqlite ]]; then
      sqlite_ns="$per"
    elif [[ -n "$sqlite_ns" ]]; then
      ratio="$(awk -v a="$per" -v b="$sqlite_ns" 'BEGIN { printf "%.2fx (target <= 0.5x)", a / b }')"
    fi
    awk -v s="$store" -v n="$stored" -v t="$seconds" -v l="$lost" -v p="$per" -v sp="$server_per" -v r="$ratio" \
      'BEGIN { printf "| %s | %d | %.1f k/s | %d | %s ns | %s | %s |\n", s, n, n / t / 1000, l, p, sp, r }'
  done
  kill "$host" 2>/dev/null || true
  wait "$host" 2>/dev/null || true
  echo
fi

if [[ " $parts " == *" four "* ]]; then
  echo "### four: four hosts at $rate records/s each, four recorders, ${seconds} s"
  echo
  echo "| store | rows stored/s | lost | recorders' CPU/row | server CPU/row (less idle) | all CPU/row |"
  echo "|---|---|---|---|---|---|"
  hosts=() targets=()
  for i in 1 2 3 4; do
    start_host "host-$i" "$rate" 1
    hosts+=("$host") targets+=("$target")
  done
  fresh_table
  for store in sqlite clickhouse; do
    before="$(server_cpu)"
    recorders=()
    for i in 0 1 2 3; do
      db="$work/four-$i.db"
      [[ "$store" == clickhouse ]] && db="$ch"
      record_one "$db" "${targets[$i]}" "four-$store-$i" &
      recorders+=($!)
    done
    wait "${recorders[@]}" || true
    after="$(server_cpu)"
    total=0 lost_all=0 cpu_all=0
    for i in 0 1 2 3; do
      read -r stored received lost cpu < <(outcome "four-$store-$i")
      total=$((total + stored)) lost_all=$((lost_all + lost))
      cpu_all="$(awk -v a="$cpu_all" -v b="$cpu" 'BEGIN { print a + b }')"
    done
    if (( total == 0 )); then
      echo "fleet_e2e.sh: four recorders into $store stored nothing" >&2
      status=1
      continue
    fi
    awk -v s="$store" -v n="$total" -v t="$seconds" -v l="$lost_all" -v c="$cpu_all" -v i="$idle" \
      -v sv="$([[ "$store" == clickhouse ]] && awk -v a="$before" -v b="$after" 'BEGIN { print b - a }' || echo 0)" \
      'BEGIN { server = sprintf("%.0f ns (%.0f ns)", sv * 1e9 / n, (sv - i * t) * 1e9 / n)
               if (s == "sqlite") server = "- (in the recorders)"
               printf "| %s | %.1f k/s | %d | %.0f ns | %s | %.0f ns |\n", s, n / t / 1000, l, c * 1e9 / n,
                 server, (c + sv) * 1e9 / n }'
  done
  kill "${hosts[@]}" 2>/dev/null || true
  wait "${hosts[@]}" 2>/dev/null || true
  echo
fi

if [[ " $parts " == *" queries "* ]]; then
  fresh_table
  # Rows as ten hosts of three components would send them over a day: four
  # levels, texts with numbers in them, 8 us apart, ids in microseconds as
  # a relay numbers them.
  start="$(( ($(date +%s) - 86400) * 1000000000 ))"
  sql "INSERT INTO logs.records (kind, id, received_ns, target, uuid, application, sequence,
         gap_count, client_mask, client_level, level_name, pid, tid, tick, line, component, file,
         function, text)
       SELECT 0, intDiv($start, 1000) + number * 8, $start + number * 8000,
         concat('127.0.0.1:', toString(57008 + number % 10)),
         toFixedString(concat('host-uuid-00000', toString(number % 10)), 16), 'bench-host',
         toUInt32(intDiv(number, 10)), 0, bitShiftLeft(toUInt32(1), 31 - number % 4),
         toInt8(31 - number % 4), ['error', 'warning', 'info', 'debug'][number % 4 + 1],
         100, 7, toUInt32(number), 42, ['net', 'db', 'ui'][number % 3 + 1], '/src/host.cpp',
         'run', concat('request ', toString(number), ' took ', toString(number % 997), ' ms on ',
         ['disk', 'cache', 'net', 'cpu'][number % 4 + 1])
       FROM numbers($rows)"
  echo "### queries over $(sql "SELECT count() FROM logs.records") rows"
  echo
  echo "| query | wall | statements the server ran: rows read, bytes read, ms |"
  echo "|---|---|---|"
  # One `query` with its wall time and the statements the server ran for it.
  measure() {
    local name="$1" since t0 t1 plan
    shift
    sleep 1  # the log counts in seconds: the last query's statements stay out
    since="$(sql "SELECT now()")"
    t0="$(date +%s.%N)"
    "$remote" query --db "$ch" "$@" >/dev/null 2>"$work/query.err" || { cat "$work/query.err" >&2; status=1; }
    t1="$(date +%s.%N)"
    sleep 2  # a statement the reader stopped ends when the server next writes to it
    sql "SYSTEM FLUSH LOGS" >/dev/null 2>&1 || true
    plan="$(sql "SELECT concat('\`', replaceRegexpAll(substring(query, 1, 30), '[\\n|]+', ' '), ' … ',
                   replaceRegexpAll(substring(query, position(query, 'WHERE'), 150), '[\\n|]+', ' '),
                   '\`: ', toString(read_rows), ' rows, ', formatReadableSize(read_bytes), ', ',
                   toString(query_duration_ms), ' ms', if(type = 2, '', ', stopped by the reader'))
                 FROM system.query_log WHERE type IN (2, 4) AND event_time >= toDateTime('$since')
                   AND query LIKE 'SELECT%FROM records%'
                 ORDER BY event_time FORMAT TabSeparatedRaw" | paste -sd ';' | sed 's/;/<br>/g')"
    awk -v n="$name" -v a="$t0" -v b="$t1" -v p="$plan" 'BEGIN { printf "| %s | %.2f s | %s |\n", n, b - a, p }'
  }
  measure "newest 100 of one component and level" --component db --level error -n 100
  measure "a regex over the text, first 100" --grep "took 99[0-9] ms on disk$" --limit 100
  measure "--stats" --stats
  echo
fi
exit $status
