#!/usr/bin/env bash
# Installs what the benchmarks in bench/ need beyond the test prerequisites:
# wrk (the load generator), nginx (the reference server the service is
# measured against), the sqlite3 shell, GNU time, clamd with clamdscan (the
# scan benchmark's reference), yara and file (the analysis benchmark's other
# references), zip, zstd (to write the retro-hunt benchmark's kept samples), and perf
# (to profile the service under load).
# nginx and clamd are installed without being started: the benchmarks run
# their own instances and stop them. Safe to run again.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "install-bench-deps: run as root (it calls apt-get)" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
. "$(dirname "$0")/apt-install-unstarted.sh"
packages=(wrk nginx sqlite3 time clamav-daemon clamdscan linux-perf yara file zip zstd)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-bench-deps: installing ${missing[*]}"
apt_install_unstarted "${missing[@]}"
# Its server at boot would take port 80 from the scanning service.
if printf '%s\n' "${missing[@]}" | grep -qx nginx; then
  disable_at_boot nginx
fi
