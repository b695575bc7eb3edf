#!/bin/sh
# scripts/install-deps.sh: installs, from Debian's packages, what building,
# testing and demonstrating the project needs and a fresh machine may lack.
# Run as root. Installs nothing when everything is there already.
set -eu
packages="build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev libfuzzer-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev libspdlog-dev
  tshark iproute2 util-linux python3"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# tshark asks whether non-root users may capture; the default (no) is fine.
apt-get install -y -qq --no-install-recommends $missing >/dev/null
