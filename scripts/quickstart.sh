#!/usr/bin/env bash
# The whole system on this machine, from a fresh Debian 12, in one command:
# installs what the build needs, builds the `local` preset (its program asks
# localhost), imports this machine's package manifests into a new store,
# starts the service on 127.0.0.1:80, asks it about one system file with the
# program, shows the report page's address, and stops the service again.
#
# usage (as root): bash scripts/quickstart.sh [FILE]      FILE defaults to /usr/bin/env
set -euo pipefail
cd "$(dirname "$0")/.."

file=${1:-/usr/bin/env}
build=build/local
db=$build/quickstart.db
listen=127.0.0.1:80

step() { printf '\n== %s\n' "$*"; }
fail() { printf 'quickstart: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "run as root (it installs Debian packages and serves on port 80)"
[ -r "$file" ] || fail "cannot read $file"

# Another server on port 80 would answer in the service's place.
if (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null; then
  fail "something already listens on 127.0.0.1:80; stop it first"
fi

step "installing what the build needs"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  g++ cmake ninja-build pkg-config libsqlite3-dev libarchive-dev libpq-dev libssl-dev libboost-dev \
  nlohmann-json3-dev libyara-dev libmagic-dev libfuzzy-dev curl >/dev/null

step "building the local preset (the program asks localhost)"
cmake --preset local >/dev/null
cmake --build --preset local -j "${JOBS:-2}"

step "importing this machine's package manifests into $db"
rm -f "$db" "$db-wal" "$db-shm" "$db-journal"
"$build/bin/brantwicker-service" import "$db" --format debian --source "debian-$(hostname)" \
  /var/lib/dpkg/info/*.md5sums

work=$(mktemp -d)
service_pid=
stop_service() {
  if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
    kill -TERM "$service_pid"
    wait "$service_pid" || true
    printf '\n== the service'"'"'s log\n'
    cat "$work/access.log"
  fi
  rm -rf "$work"
}
trap stop_service EXIT

step "starting the service on $listen"
"$build/bin/brantwicker-service" serve "$db" --listen "$listen" 2>"$work/access.log" &
service_pid=$!
# Ready once it says it listens: then the port is its own, not another
# server's that started in the meantime.
for _ in $(seq 50); do
  kill -0 "$service_pid" 2>/dev/null || { cat "$work/access.log" >&2; fail "the service did not start"; }
  grep -q "listening on" "$work/access.log" && break
  sleep 0.2
done
grep -q "listening on" "$work/access.log" || fail "the service did not listen within 10 s"

step "asking about $file"
address_file=$work/address
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  # No desktop: the "browser" prints the address it is given and keeps it.
  printf '#!/bin/sh\nprintf "%%s\\n" "$1" >"%s.part" && mv "%s.part" "%s"\n' \
    "$address_file" "$address_file" "$address_file" >"$work/browser"
  chmod +x "$work/browser"
  export BROWSER=$work/browser
fi
"$build/bin/brantwicker" "$file"

if [ -n "${BROWSER:-}" ] && [ "$BROWSER" = "$work/browser" ]; then
  for _ in $(seq 50); do [ -e "$address_file" ] && break; sleep 0.1; done
  if [ -e "$address_file" ]; then
    address=$(cat "$address_file")
    step "report page: $address"
    # The page as text, a line per heading, paragraph, item and table row.
    curl -fsS "$address" | tr -d '\n' \
      | sed -e 's|<style>[^<]*</style>||; s|<title>[^<]*</title>||' \
            -e 's#</\(h1\|h2\|p\|li\|dd\|tr\|header\)>#&\n#g' \
      | sed -e 's/<[^>]*>/ /g; s/&lt;/</g; s/&gt;/>/g; s/&quot;/"/g; s/&#39;/'"'"'/g; s/&amp;/\&/g' \
            -e 's/  */ /g; s/^ //; /^ *$/d' | head -n 30
  fi
elif [ -t 0 ]; then
  read -r -p "The report page is open in your browser. Press Enter to stop the service. "
else
  sleep 5  # time for the browser to fetch the page before the service stops
fi
