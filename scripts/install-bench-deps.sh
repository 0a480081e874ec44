#!/usr/bin/env bash
# Installs what the benchmarks in bench/ need beyond the test prerequisites:
# wrk (the load generator), nginx (the reference server the service is
# measured against), the sqlite3 shell, GNU time and perf (to profile the
# service under load). nginx is installed without being
# started: the benchmark runs its own instance on a loopback port and stops it.
# Safe to run again.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "install-bench-deps: run as root (it calls apt-get)" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
packages=(wrk nginx sqlite3 time linux-perf)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

# A policy that refuses every service start keeps the package's own server
# from starting system-wide; it is removed again unless it was there before.
policy=/usr/sbin/policy-rc.d
own_policy=
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  own_policy=yes
fi
trap '[ -z "$own_policy" ] || rm -f "$policy"' EXIT

echo "install-bench-deps: installing ${missing[*]}"
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

# The package also enables its server for every boot, where it would take
# port 80 from the scanning service; the benchmark never needs it there.
if printf '%s\n' "${missing[@]}" | grep -qx nginx; then
  systemctl disable --quiet nginx.service 2>/dev/null || update-rc.d nginx disable >/dev/null
fi
