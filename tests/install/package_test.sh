#!/bin/sh
# tests/install/package_test.sh BUILD_DIR
#
# Makes the Debian packages of the build tree as a user does (cpack -G DEB),
# unpacks them into a scratch folder without installing anything, checks
# each package's files and dependencies, then runs the unpacked example host
# and finds it with the unpacked tarvin-remote.
set -eu
build=$1
scratch=$(mktemp -d)
host_pid=""
trap '[ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >/dev/null
version=$(dpkg-deb -f "$scratch"/out/libtarvin1_*.deb Version)
case "$version" in [0-9]*.[0-9]*.[0-9]*-[0-9]*) ;; *) fail "version '$version' is not upstream-revision" ;; esac

# package: the files it must hold (and nothing of another package's)
expect() {
  deb=$(echo "$scratch"/out/"$1"_*.deb)
  [ -f "$deb" ] || fail "no package $1"
  shift
  listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for f in "$@"; do
    echo "$listing" | grep -qx "./usr/$f" || fail "$(basename "$deb") lacks /usr/$f"
  done
  dpkg-deb -x "$deb" "$scratch/root"
}
expect libtarvin1 lib/libtarvint_remote.so.1 lib/libtarvint_remote.so.1.0.0 \
  lib/libtarvin_host.so.1 lib/libtarvin_host.so.1.0.0
expect libtarvin-dev include/tarvin/tarvin.h include/tarvin/framework.h \
  lib/cmake/Tarvin/TarvinConfig.cmake lib/pkgconfig/tarvin.pc
expect tarvin-tools bin/tarvin-remote bin/tarvin-example-host
dpkg-deb -c "$scratch"/out/libtarvin1_*.deb | grep -q 'include/' && fail "headers in the runtime package"

soname=$(objdump -p "$scratch/root/usr/lib/libtarvint_remote.so.1" | awk '/SONAME/ {print $2}')
[ "$soname" = libtarvint_remote.so.1 ] || fail "plug-in SONAME is $soname"
depends=$(dpkg-deb -f "$scratch"/out/tarvin-tools_*.deb Depends)
echo "$depends" | grep -q "libtarvin1 (= $version)" || fail "tarvin-tools does not depend on libtarvin1: $depends"
echo "$depends" | grep -q "libstdc++6" || fail "dpkg-shlibdeps found no system dependency: $depends"

# The unpacked tools run from where they lie: the example host finds the
# plug-in beside the framework library, and discover sees its target.
"$scratch/root/usr/bin/tarvin-example-host" --rate 5 >"$scratch/host.out" &
host_pid=$!
for _ in 1 2 3 4 5 6 7 8 9 10; do
  grep -q "^target port" "$scratch/host.out" && break
  sleep 0.2
done
grep -q "^target port 57008" "$scratch/host.out" || fail "the unpacked example host started no target"
"$scratch/root/usr/bin/tarvin-remote" discover 127.0.0.1 >"$scratch/discover.out" ||
  fail "the unpacked tarvin-remote discover failed"
grep -q "tarvin-example-host" "$scratch/discover.out" || fail "discover did not find the unpacked example host"
