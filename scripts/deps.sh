#!/usr/bin/env bash
# Installs the Debian packages needed to build, run, test and package trndemo,
# when any of them is missing.  Needs root (or sudo) only when something is
# missing.  dpkg-dev and file compute the Debian package's dependencies;
# postgresql is the server the tests of the line's database start.
# libmicrohttpd-dev and libjs-chart.js are the quality page's server and
# charts; chromium, its driver and Selenium run the page's browser tests;
# iproute2 gives the station page's test an address of its own network
# namespace, for a view from another PC.
set -euo pipefail

packages=(cmake g++ make pkg-config libgtk2.0-dev libglib2.0-dev libx11-dev libgtest-dev
          libgmock-dev libbenchmark-dev xvfb xauth psmisc util-linux libcli11-dev nlohmann-json3-dev
          libsqlite3-dev libpq-dev postgresql dpkg-dev file libmicrohttpd-dev libjs-chart.js
          chromium chromium-driver python3-selenium iproute2)
if [ "${TRN_WITH_CLANG:-0}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
