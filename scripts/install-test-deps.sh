#!/usr/bin/env bash
# Installs what building and testing everything needs on a Debian 12 machine:
# the native toolchain and test libraries, the service's SQLite, libarchive
# (the import reads feeds as they come packed), Boost and JSON headers,
# Chromium for the page tests, clamd for the scan tests, OpenSSL (the
# reference the tests and the benchmark compare against), Prometheus (for
# promtool, which checks the service's metrics), the PostgreSQL server, libpq
# and nginx for the store's second engine and the topology test, two
# independent readers of the Bloom filter the service exports (flor and the
# bloom command), the
# mingw-w64 cross compilers, Wine, and the X tools the desktop tests use.
# The analysis of uploads links libyara, libmagic and libfuzzy (ssdeep); its
# tests make archives with zip, 7z (p7zip-full) and bsdtar (libarchive-tools).
# The kept samples are read back with the zstd tool.
# Servers that come with these packages (clamd, Prometheus, PostgreSQL,
# nginx) are installed without being started: the tests run their own, in
# temporary directories. Safe to run again.
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
. "$(dirname "$0")/apt-install-unstarted.sh"

native=(g++ clang libclang-rt-14-dev cmake ninja-build googletest libgtest-dev
        libbenchmark-dev libssl-dev python3 iproute2 util-linux mount coreutils
        libsqlite3-dev libarchive-dev libboost-dev nlohmann-json3-dev chromium fonts-dejavu-core
        clamav-daemon prometheus libpq-dev pkg-config postgresql-15 nginx-light
        libyara-dev libmagic-dev libfuzzy-dev libzstd-dev zstd zip p7zip-full libarchive-tools
        python3-flor golang-github-dcso-bloom-cli)
# lintian checks the Debian package; bash-completion runs its completion.
native+=(lintian bash-completion)
# The tools that make the archives the archive reader's tests take apart.
native+=(libarchive-tools zip p7zip-full gcab gzip bzip2 xz-utils)
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64
         xvfb xdotool zenity)
# wixl makes the Windows installer; msiinfo (msitools) reads it back.
windows+=(wixl msitools)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

missing=()
for p in "${native[@]}" "${windows[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-test-deps: installing ${missing[*]}"
  apt_install_unstarted "${missing[@]}"
  for server in prometheus nginx-light; do
    if printf '%s\n' "${missing[@]}" | grep -qx "$server"; then
      # nginx would take port 80 from the scanning service at the next boot.
      disable_at_boot "${server%-light}"
    fi
  done
fi
