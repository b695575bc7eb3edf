#!/bin/sh
# tests/install/install_test.sh BUILD_DIR SOURCE_DIR [CXXFLAGS]
#
# Installs the build into a fresh prefix, checks the installed layout and the
# plug-in's exports, then builds a host of its own against the installed
# headers alone and runs it against the installed plug-in.
set -eu
build=$1
source=$2
cxxflags=${3:-}  # a sanitized plug-in needs a host built with the same runtime
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

for f in lib/libtarvint_remote.so.1 lib/libtarvint_remote.so.1.0.0 include/tarvin/tarvin.h \
         include/tarvin/host_api.h include/tarvin/framework.h lib/cmake/Tarvin/TarvinConfig.cmake \
         lib/pkgconfig/tarvin.pc; do
  [ -e "$prefix/$f" ] || { echo "install_test: missing $f" >&2; exit 1; }
done
[ -L "$prefix/lib/libtarvint_remote.so.1" ] || { echo "install_test: .so.1 is not a symlink" >&2; exit 1; }

soname=$(objdump -p "$prefix/lib/libtarvint_remote.so.1" | awk '/SONAME/ {print $2}')
[ "$soname" = libtarvint_remote.so.1 ] || { echo "install_test: SONAME is $soname" >&2; exit 1; }
functions=$(nm -D --defined-only "$prefix/lib/libtarvint_remote.so.1" | awk '$2 == "T" || $2 == "W" || $2 == "i" {print $3}')
[ "$functions" = getClassFactory ] || { echo "install_test: exported functions: $functions" >&2; exit 1; }
undefined=$(nm -D --undefined-only "$prefix/lib/libtarvint_remote.so.1" | grep -c tarvin_get_application_name)
[ "$undefined" = 1 ] || { echo "install_test: host functions are not left to the host" >&2; exit 1; }

c++ -std=c++20 -Wall -Werror $cxxflags -I"$prefix/include" "$source/tests/install/foreign_host.cpp" \
    -rdynamic -ldl -o "$prefix/foreign_host"
"$prefix/foreign_host" "$prefix/lib/libtarvint_remote.so.1"

# The installed tools find the framework library and the plug-in in the
# prefix without any environment.
if [ -x "$prefix/bin/tarvin-example-host" ]; then
  "$prefix/bin/tarvin-example-host" --duration 1 --rate 5 | grep -q "^target port 57008" ||
    { echo "install_test: the installed example host did not start its target" >&2; exit 1; }
fi
