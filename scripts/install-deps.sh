#!/bin/sh
# scripts/install-deps.sh [--tests]: installs, from Debian's packages, what
# building the plug-in, the host and the tools and running the demo needs
# and a fresh machine may lack; with --tests also what the tests, the
# sanitizer and fuzz builds and the benchmarks need (the browser, tshark,
# rsyslog, clang, node, lintian, Prometheus, ClickHouse, ...). Run as root. Installs nothing when
# everything is there already.
set -eu
usage() { sed -n '2,7s/^# \{0,1\}//p' "$0"; }
tests=0
for arg in "$@"; do
  case $arg in
    --tests) tests=1 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "install-deps.sh: error: unknown argument $arg" >&2; usage >&2; exit 2 ;;
  esac
done
packages="build-essential cmake ninja-build pkg-config libcli11-dev nlohmann-json3-dev
  libsqlite3-dev libcpp-httplib-dev libtomlplusplus-dev"
[ $tests = 1 ] && packages="$packages clang libclang-rt-14-dev libfuzzer-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev libspdlog-dev
  tshark rsyslog iproute2 util-linux python3 python3-jsonschema dpkg-dev clang-format shellcheck lua-check
  help2man man-db lintian prometheus prometheus-alertmanager chromium nodejs curl
  clickhouse-server clickhouse-client"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
# Debian's nodejs comes without npm.
[ $tests = 1 ] && ! command -v npm >/dev/null 2>&1 && missing="$missing npm"
if [ -n "$missing" ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # tshark asks whether non-root users may capture; the default (no) is fine.
  # rsyslog is only a collector for the forwarding tests, which start their
  # own: installing the package must not start the machine's syslog service.
  # Nor the ClickHouse server's: its tests start servers of their own.
  policy=/usr/sbin/policy-rc.d
  had_policy=0; [ -e $policy ] && had_policy=1
  [ $had_policy = 1 ] || { printf '#!/bin/sh\nexit 101\n' > $policy; chmod +x $policy; }
  # shellcheck disable=SC2086  # one word per package
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
  [ $had_policy = 1 ] || rm -f $policy
fi
# The browser tests' npm packages, exactly as their lockfile pins them; the
# browser is Debian's chromium, never a download.
web_tests="$(dirname "$0")/../tests/web"
if [ $tests = 1 ] && [ ! -d "$web_tests/node_modules/playwright-core" ]; then
  (cd "$web_tests" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
fi
