#!/bin/sh
# tests/install/install_test.sh BUILD_DIR SOURCE_DIR [CXXFLAGS [WERROR]]
#
# Installs the build into a fresh prefix, chosen now and not at configure
# time, checks the installed layout and the plug-in's exports, then builds
# hosts as a user would and runs them against the installed plug-in: one
# against the installed headers alone, one with pkg-config's flags and one
# through find_package(Tarvin).
set -eu
build=$1
source=$2
cxxflags=${3:-}  # a sanitized plug-in needs a host built with the same runtime
werror=${4:-OFF}  # the developers' switch: a user's compiler may warn more
strict="-Wall"
[ "$werror" = ON ] && strict="-Wall -Werror"
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
# clang's sanitizers export the instrumented library's inline functions too;
# the uninstrumented trees (the plain build, dev) check the exports.
case "$cxxflags" in
  *-fsanitize*) ;;
  *)
    functions=$(nm -D --defined-only "$prefix/lib/libtarvint_remote.so.1" | awk '$2 == "T" || $2 == "W" || $2 == "i" {print $3}')
    [ "$functions" = getClassFactory ] || { echo "install_test: exported functions: $functions" >&2; exit 1; } ;;
esac
undefined=$(nm -D --undefined-only "$prefix/lib/libtarvint_remote.so.1" | grep -c tarvin_get_application_name)
[ "$undefined" = 1 ] || { echo "install_test: host functions are not left to the host" >&2; exit 1; }

# shellcheck disable=SC2086  # the flags are separate words
c++ -std=c++20 $strict $cxxflags -I"$prefix/include" "$source/tests/install/foreign_host.cpp" \
    -rdynamic -ldl -o "$prefix/foreign_host"
"$prefix/foreign_host" "$prefix/lib/libtarvint_remote.so.1"

# pkg-config, through the file the install put in the prefix: its paths
# follow wherever that is.
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046,SC2086  # the flags are separate words
c++ -std=c++20 $strict $cxxflags $(pkg-config --cflags tarvin) \
    -DTARVIN_PLUGIN="\"$(pkg-config --variable=plugin tarvin)\"" "$source/tests/install/framework_host.cpp" \
    $(pkg-config --libs tarvin) -Wl,-rpath,"$(pkg-config --variable=libdir tarvin)" -o "$prefix/pkg_config_host"
"$prefix/pkg_config_host" | grep -q "^logged through $prefix/" ||
  { echo "install_test: the pkg-config host did not log through the installed plug-in" >&2; exit 1; }

# find_package(Tarvin), as a user's CMake project finds it.
cmake -S "$source/tests/install/cmake_host" -B "$prefix/cmake_host" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_CXX_FLAGS="$strict $cxxflags" >/dev/null
cmake --build "$prefix/cmake_host" >/dev/null
"$prefix/cmake_host/framework_host" | grep -q "^logged through $prefix/" ||
  { echo "install_test: the find_package host did not log through the installed plug-in" >&2; exit 1; }

# The installed tools find the framework library and the plug-in in the
# prefix without any environment.
if [ -x "$prefix/bin/tarvin-example-host" ]; then
  find "$prefix/lib" -path '*/wireshark/plugins/tarvinremote.lua' | grep -q . ||
    { echo "install_test: the Wireshark dissector was not installed" >&2; exit 1; }
  # The relay's unit template names the tarvin-remote of this prefix, and
  # systemd reads it without a complaint (the command and its manual page
  # are there).
  unit="$prefix/lib/systemd/system/tarvin-record@.service"
  grep -qx "ExecStart=$prefix/bin/tarvin-remote record \$TARVIN_RECORD_ARGS" "$unit" ||
    { echo "install_test: $unit does not run $prefix/bin/tarvin-remote" >&2; exit 1; }
  if [ -d "$prefix/share/man/man1" ]; then
    if ! complaints=$(MANPATH="$prefix/share/man" systemd-analyze verify "$unit" 2>&1) ||
       [ -n "$complaints" ]; then
      echo "install_test: systemd-analyze verify: $complaints" >&2; exit 1
    fi
  fi
  "$prefix/bin/tarvin-example-host" --duration 1 --rate 5 | grep -q "^target port 57008" ||
    { echo "install_test: the installed example host did not start its target" >&2; exit 1; }
fi
