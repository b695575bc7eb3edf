#!/bin/sh
# tests/install/package_test.sh BUILD_DIR
#
# Makes the Debian packages of the build tree as a user does (cpack -G DEB),
# unpacks them into a scratch folder without installing anything, checks
# each package's files and dependencies and runs lintian on them, then runs
# the unpacked example host and finds it with the unpacked tarvin-remote.
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
docs() { echo "share/doc/$1/copyright share/doc/$1/changelog.Debian.gz"; }
# shellcheck disable=SC2046  # one word per file
expect libtarvin1 lib/libtarvint_remote.so.1 lib/libtarvint_remote.so.1.0.0 \
  lib/libtarvin_host.so.1 lib/libtarvin_host.so.1.0.0 $(docs libtarvin1)
# shellcheck disable=SC2046
expect libtarvin-dev include/tarvin/tarvin.h include/tarvin/framework.h \
  lib/cmake/Tarvin/TarvinConfig.cmake lib/pkgconfig/tarvin.pc $(docs libtarvin-dev)
# shellcheck disable=SC2046
expect tarvin-tools bin/tarvin-remote bin/tarvin-example-host $(docs tarvin-tools) \
  share/bash-completion/completions/tarvin-remote share/zsh/vendor-completions/_tarvin-remote \
  lib/"$(dpkg-architecture -qDEB_HOST_MULTIARCH)"/wireshark/plugins/tarvinremote.lua \
  lib/systemd/system/tarvin-record@.service
# shellcheck disable=SC2016  # the unit's own $VARIABLE, for systemd to expand
grep -qx 'ExecStart=/usr/bin/tarvin-remote record $TARVIN_RECORD_ARGS' \
  "$scratch/root/usr/lib/systemd/system/tarvin-record@.service" || fail "the unit does not run /usr/bin/tarvin-remote"
dpkg-deb -c "$scratch"/out/libtarvin1_*.deb | grep -q 'include/' && fail "headers in the runtime package"
if [ -d "$scratch/root/usr/share/man/man1" ]; then
  find "$scratch/root/usr/share/man/man1" -type f ! -name '*.1.gz' | grep . && fail "manual pages not gzipped"
fi

# Every binary stripped and without RUNPATH; the debug symbols, where the
# build has them, in the -dbgsym packages.
for f in "$scratch"/root/usr/bin/* "$scratch"/root/usr/lib/*.so.*.*; do
  [ -L "$f" ] && continue
  readelf -d "$f" | grep -Eq 'RUNPATH|RPATH' && fail "$(basename "$f") has a RUNPATH"
  readelf -S "$f" | grep -q '\.debug_info' && fail "$(basename "$f") is not stripped"
done
for dbgsym in "$scratch"/out/*-dbgsym_*.ddeb; do
  [ -f "$dbgsym" ] || continue
  dpkg-deb -c "$dbgsym" | grep -q '/usr/lib/debug/.build-id/.*\.debug$' || fail "$(basename "$dbgsym") holds no symbols"
done

# lintian, Debian's own check, on the three packages: no error, and only
# these warnings, each for a reason of ours:
#   initial-upload-closes-no-bugs     built for users, never uploaded to the
#                                     archive, so no bug to close
#   package-name-doesnt-match-sonames libtarvin1 ships the plug-in together
#                                     with the framework library it is
#                                     loaded into; hosts dlopen the plug-in
#                                     rather than link it
#   maintscript-calls-ldconfig        cpack's own postinst/postrm; the
#                                     ldconfig trigger is there as well
#   pkg-config-unavailable-for-cross-compilation
#                                     the pkg-config file lies in
#                                     /usr/lib/pkgconfig, as in every prefix
#                                     this project installs to
allowed="initial-upload-closes-no-bugs package-name-doesnt-match-sonames maintscript-calls-ldconfig
  pkg-config-unavailable-for-cross-compilation"
if command -v lintian >/dev/null 2>&1; then
  lintian --tag-display-limit 0 "$scratch"/out/*.deb >"$scratch/lintian.out" 2>&1 || true
  grep -q '^E: ' "$scratch/lintian.out" && fail "lintian errors: $(grep '^E: ' "$scratch/lintian.out")"
  awk '/^W: / {print $3}' "$scratch/lintian.out" | while read -r tag; do
    echo "$allowed" | grep -qw -- "$tag" || fail "lintian warning not explained: $(grep -- " $tag" "$scratch/lintian.out")"
  done
else
  fail "lintian is not installed (scripts/install-deps.sh --tests installs it)"
fi

soname=$(objdump -p "$scratch/root/usr/lib/libtarvint_remote.so.1" | awk '/SONAME/ {print $2}')
[ "$soname" = libtarvint_remote.so.1 ] || fail "plug-in SONAME is $soname"
depends=$(dpkg-deb -f "$scratch"/out/tarvin-tools_*.deb Depends)
echo "$depends" | grep -q "libtarvin1 (= $version)" || fail "tarvin-tools does not depend on libtarvin1: $depends"
echo "$depends" | grep -q "libstdc++6" || fail "dpkg-shlibdeps found no system dependency: $depends"

# The unpacked tools run from where they lie: the example host finds the
# plug-in beside the framework library, and discover sees its target.
# No RUNPATH: the unpacked libraries are found as an installed package's
# would be in /usr/lib.
export LD_LIBRARY_PATH="$scratch/root/usr/lib"
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
