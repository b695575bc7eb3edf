#!/usr/bin/env bash
# tools/demo.sh BUILD_DIR
#
# A tour of the remote log target: starts tarvin-example-host from BUILD_DIR
# with the plug-in built there, then shows tarvin-remote discover,
# components, levels and tail (recording a capture that replay then prints
# offline), enables debug on "net" remotely and shows the debug records
# appear in the stream, and stops everything cleanly.
#
# Everything runs in a network namespace of its own (root, or an
# unprivileged user namespace where allowed), so the demo's target never
# meets targets of other processes on ports 57008-57017.
set -euo pipefail

usage() { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
[[ $# -eq 1 ]] || usage

if [[ -z "${TARVIN_DEMO_IN_NETNS:-}" ]]; then
  export TARVIN_DEMO_IN_NETNS=1
  exec "$(dirname "$0")/../common/in_netns.sh" --user --warn demo bash "$0" "$@"
fi

build=$(cd "$1" && pwd)
remote="$build/tools/tarvin-remote"
example="$build/tools/tarvin-example-host"
plugin="$build/lib/libtarvint_remote.so.1"
for file in "$remote" "$example" "$plugin"; do
  [[ -e $file ]] || { echo "demo: error: $file not found (build $build first)" >&2; exit 1; }
done

heading() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

work=$(mktemp -d)
host_pid=
cleanup() {
  if [[ -n $host_pid ]] && kill -0 "$host_pid" 2>/dev/null; then
    kill -TERM "$host_pid"
    wait "$host_pid" || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
# What set-level keeps (the masks it may put back, the audit trail of level
# changes) goes under the demo's own directory, removed at the end, not
# under the user's ~/.local/state.
export XDG_STATE_HOME="$work/state"
echo "demo: state (saved masks, level audit trail) in $XDG_STATE_HOME, removed at the end"

heading "starting tarvin-example-host (20 messages/s, 2 threads)"
"$example" --plugin "$plugin" --rate 20 --threads 2 >"$work/host.out" 2>&1 &
host_pid=$!
port=
for _ in $(seq 50); do
  port=$(sed -n 's/^target port \([0-9]*\)$/\1/p' "$work/host.out")
  [[ -n $port ]] && break
  kill -0 "$host_pid" 2>/dev/null || { cat "$work/host.out" >&2; exit 1; }
  sleep 0.1
done
[[ -n $port ]] || { echo "demo: error: the example host reported no port" >&2; cat "$work/host.out" >&2; exit 1; }
cat "$work/host.out"
target="127.0.0.1:$port"

heading "tarvin-remote discover"
"$remote" discover

heading "tarvin-remote components $target"
"$remote" components "$target"

heading "tarvin-remote levels $target net"
"$remote" levels "$target" net

heading "tarvin-remote tail $target --duration 2s --pcap session.pcap"
"$remote" tail "$target" --duration 2s --pcap "$work/session.pcap"

heading "tarvin-remote replay session.pcap --count 5 (offline, from the capture)"
"$remote" replay "$work/session.pcap" --count 5

heading "tarvin-remote set-level $target net +debug"
"$remote" set-level "$target" net +debug

heading "tarvin-remote tail $target --component net --duration 2s (debug records now appear)"
"$remote" tail "$target" --component net --duration 2s | tee "$work/tail.out"
grep -q ' debug ' "$work/tail.out" || { echo "demo: error: no debug record after set-level" >&2; exit 1; }

heading "tarvin-remote set-level $target net -debug"
"$remote" set-level "$target" net -debug

heading "stopping tarvin-example-host"
kill -TERM "$host_pid"
wait "$host_pid"
host_pid=
tail -n 1 "$work/host.out"
heading "done"
