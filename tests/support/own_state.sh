#!/bin/sh
# tests/support/own_state.sh COMMAND [ARG...]
#
# Runs a test with a state directory of its own (XDG_STATE_HOME), fresh
# under TEST_TMPDIR: the tools keep their default store, spool, saved masks
# and running level changes there, so tests running in parallel never meet
# in one, and none reads or changes the state of whoever runs the tests.
# Directories older than an hour are from runs long over and go.
set -eu
base=${TEST_TMPDIR:-${TMPDIR:-/tmp}}
find "$base" -maxdepth 1 -name 'state.*' -mmin +60 -exec rm -rf {} + 2>/dev/null || true
XDG_STATE_HOME=$(mktemp -d "$base/state.XXXXXX")
export XDG_STATE_HOME
exec "$@"
