#!/bin/sh
# tests/support/in_netns.sh: runs one test in a network namespace of its own
# with only loopback up, so that targets of tests running in parallel (or a
# demo on the same machine) never compete for ports 57008-57017.
# Falls back to running the test as it is where namespaces are not allowed.
if unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
exec "$@"
