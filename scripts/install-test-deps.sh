#!/usr/bin/env bash
# Installs what building and testing everything needs on a Debian 12 machine:
# the native toolchain and test libraries, the service's SQLite, Boost and JSON
# headers, Chromium for the page tests, OpenSSL (the reference the tests and
# the benchmark compare against), the mingw-w64 cross compilers, Wine, and the
# X tools the desktop tests use; and the PostgreSQL server, libpq and nginx
# for the store's second engine and the topology test, installed without
# being started (the tests run their own, in temporary directories). Safe to
# run again.
#
# Both Wine loaders come in: the 32-bit one runs the shipped program where the
# kernel executes 32-bit code; where it does not (some virtual machines), the
# Windows tests fall back to a 64-bit build of the same sources under wine64.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "install-test-deps: run as root (it calls apt-get)" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive

native=(g++ clang libclang-rt-14-dev cmake ninja-build googletest libgtest-dev
        libbenchmark-dev libssl-dev python3 iproute2 util-linux mount coreutils
        libsqlite3-dev libboost-dev nlohmann-json3-dev chromium fonts-dejavu-core
        libpq-dev pkg-config postgresql-15 nginx-light)
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64
         xvfb xdotool zenity)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

missing=()
for p in "${native[@]}" "${windows[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  # A policy that refuses every service start keeps the packages' own
  # servers (a PostgreSQL cluster, nginx on port 80) from starting
  # system-wide; it is removed again unless it was there before.
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    trap 'rm -f "$policy"' EXIT
  fi
  echo "install-test-deps: installing ${missing[*]}"
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  # nginx would take port 80 from the scanning service at the next boot.
  if printf '%s\n' "${missing[@]}" | grep -qx nginx-light; then
    systemctl disable --quiet nginx.service 2>/dev/null || update-rc.d nginx disable >/dev/null
  fi
fi
