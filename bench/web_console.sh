#!/bin/sh
# bench/web_console.sh [BUILD_DIR]: the web console's speed in Chromium and
# its server under three example hosts at full rate (bench/web_console.mjs),
# in a network namespace of its own. Prints a table; enforces nothing.
# BUILD_DIR defaults to build/dev (tarvin-remote, the example host and the
# browser tests' scripted target must be built there).
set -eu
here=$(dirname "$0")
build=$(cd "${1:-$here/../build/dev}" && pwd)
exec "$here/../common/in_netns.sh" --warn web_console node "$here/web_console.mjs" "$build"
