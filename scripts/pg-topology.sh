#!/usr/bin/env bash
# The service past one machine, on one machine: a PostgreSQL primary, a
# streaming standby made from it with pg_basebackup -R, two service instances
# reading the standby, and nginx in front of them as the load balancer.
#
#   pg-topology.sh up DIR SERVICE PORT LIST...
#                                          set it all up in DIR, the store made by importing
#                                          LIST... first (nginx on 127.0.0.1:PORT)
#   pg-topology.sh import DIR SERVICE LIST...
#                                          import on the primary as the import role,
#                                          then wait until the standby has replayed it
#   pg-topology.sh standby|primary stop|start DIR
#                                          stop or start the standby or the primary
#   pg-topology.sh down DIR                stop everything (DIR itself is left)
#
# With BRANTWICKER_CLAMD set to clamd's socket, a third instance on port 8083
# scans uploads: it writes the scans on the primary and reads the standby.
#
# Roles: brantwicker_admin (the superuser, used here only to set up),
# brantwicker_import (owns the database; imports write with it),
# brantwicker_read (may connect and read; the instances use it),
# brantwicker_service (reads, and writes scans and unknown-digest counts; the
# scanning instance uses it). Servers listen on Unix sockets in DIR only. Run
# as root, the servers run as the user nobody (initdb refuses root).
set -euo pipefail

pg_bin=${BRANTWICKER_PG_BIN:-/usr/lib/postgresql/15/bin}
nginx=$(command -v nginx || echo /usr/sbin/nginx)
primary_port=5432
standby_port=5433
instance_ports=(8081 8082)
scanner_port=8083

usage() {
  sed -n '5,14p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

# As the servers' owner.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u nobody -- "$@"
  else
    "$@"
  fi
}

uri() {  # ROLE SERVER(primary|standby)
  local port=$primary_port
  [ "$2" = standby ] && port=$standby_port
  echo "postgresql:///store?host=$dir/$2&port=$port&user=$1"
}

admin() {  # SERVER DATABASE SQL
  local port=$primary_port
  [ "$1" = standby ] && port=$standby_port
  "$pg_bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir/$1" -p "$port" -U brantwicker_admin -d "$2" -Atc "$3"
}

wait_for_port() {
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "pg-topology: nothing listens on 127.0.0.1:$1" >&2
  return 1
}

start_server() {  # NAME PORT
  as_owner "$pg_bin/pg_ctl" -D "$dir/$1/data" -l "$dir/$1/server.log" -w \
    -o "-k $dir/$1 -p $2 -c listen_addresses=" start >/dev/null
}

up() {
  local service=$1 port=$2
  shift 2
  mkdir -p "$dir/primary" "$dir/standby" "$dir/nginx"
  chmod 755 "$dir"
  if [ "$(id -u)" -eq 0 ]; then chown nobody: "$dir/primary" "$dir/standby"; fi
  chmod 700 "$dir/primary" "$dir/standby"

  # The primary, and the roles and database the service uses.
  as_owner "$pg_bin/initdb" -D "$dir/primary/data" -U brantwicker_admin -A trust -E UTF8 \
    --locale=C --no-instructions >/dev/null
  start_server primary $primary_port
  admin primary postgres "CREATE ROLE brantwicker_import LOGIN; CREATE ROLE brantwicker_read LOGIN;
                          CREATE ROLE brantwicker_service LOGIN IN ROLE brantwicker_read"
  admin primary postgres "CREATE DATABASE store OWNER brantwicker_import"
  admin primary store "REVOKE ALL ON DATABASE store FROM PUBLIC;
                       GRANT CONNECT, TEMPORARY ON DATABASE store TO brantwicker_import;
                       GRANT CONNECT ON DATABASE store TO brantwicker_read, brantwicker_service;
                       ALTER DEFAULT PRIVILEGES FOR ROLE brantwicker_import IN SCHEMA public
                         GRANT SELECT ON TABLES TO brantwicker_read"

  # The standby: a copy of the primary that follows its write-ahead log.
  as_owner "$pg_bin/pg_basebackup" -h "$dir/primary" -p $primary_port -U brantwicker_admin \
    -D "$dir/standby/data" -R -X stream -c fast
  start_server standby $standby_port
  import "$service" "$@"
  # What the service writes itself, once the first import has made the tables.
  admin primary store "GRANT INSERT ON scans, upload_names TO brantwicker_service;
                       GRANT USAGE ON SEQUENCE scans_id_seq TO brantwicker_service;
                       GRANT INSERT, UPDATE, DELETE ON unknown_digests, unknown_asked
                         TO brantwicker_service;
                       GRANT UPDATE (generation) ON brantwicker_store TO brantwicker_service;
                       GRANT INSERT, UPDATE, DELETE ON scan_matches, file_types, analyser_faults,
                         archive_members, lookup_sessions, lookup_session_digests,
                         retro_hunts, retro_hunt_matches, rescan_queue,
                         signatures_seen TO brantwicker_service"

  # Two instances reading the standby only: when it is down they answer 503.
  local i=0
  for listen in "${instance_ports[@]}"; do
    i=$((i + 1))
    "$service" serve "$(uri brantwicker_read standby)" --listen "127.0.0.1:$listen" \
      --threads 2 --read-timeout 5 </dev/null >>"$dir/instance-$i.log" 2>&1 &
    echo $! >"$dir/instance-$i.pid"
  done
  if [ -n "${BRANTWICKER_CLAMD:-}" ]; then
    "$service" serve "$(uri brantwicker_service primary)" --replica "$(uri brantwicker_service standby)" \
      --listen "127.0.0.1:$scanner_port" --threads 2 --read-timeout 5 --clamd "$BRANTWICKER_CLAMD" \
      </dev/null >>"$dir/instance-3.log" 2>&1 &
    echo $! >"$dir/instance-3.pid"
    wait_for_port "$scanner_port"
  fi

  # nginx: round robin; a request an instance could not take (refused, or
  # cut off because the instance died) goes to the other. A look-up changes
  # nothing, so passing a POST on is safe.
  cat >"$dir/nginx/nginx.conf" <<EOF
worker_processes 1;
pid $dir/nginx/nginx.pid;
error_log $dir/nginx/error.log;
events { worker_connections 512; }
http {
    access_log $dir/nginx/access.log;
    client_body_temp_path $dir/nginx/body;
    proxy_temp_path $dir/nginx/proxy;
    fastcgi_temp_path $dir/nginx/fastcgi;
    uwsgi_temp_path $dir/nginx/uwsgi;
    scgi_temp_path $dir/nginx/scgi;
    server_tokens off;
    upstream brantwicker {
        server 127.0.0.1:${instance_ports[0]} max_fails=1 fail_timeout=10s;
        server 127.0.0.1:${instance_ports[1]} max_fails=1 fail_timeout=10s;
        keepalive 16;
    }
    server {
        listen 127.0.0.1:$port;
        location / {
            proxy_pass http://brantwicker;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_set_header Host \$host;
            proxy_connect_timeout 1s;
            proxy_read_timeout 10s;
            proxy_next_upstream error timeout non_idempotent;
        }
    }
}
EOF
  for listen in "${instance_ports[@]}"; do wait_for_port "$listen"; done
  "$nginx" -p "$dir/nginx" -c "$dir/nginx/nginx.conf"
  wait_for_port "$port"
  echo "pg-topology: up in $dir; nginx on 127.0.0.1:$port"
  echo "  primary (import): $(uri brantwicker_import primary)"
  echo "  standby (read):   $(uri brantwicker_read standby)"
}

import() {
  local service=$1
  shift
  "$service" import "$(uri brantwicker_import primary)" "$@"
  # Seen on the standby once it has replayed what the primary wrote.
  local target
  target=$(admin primary postgres "SELECT pg_current_wal_lsn()")
  for _ in $(seq 300); do
    if [ "$(admin standby postgres "SELECT pg_last_wal_replay_lsn() >= '$target'")" = t ]; then
      return 0
    fi
    sleep 0.1
  done
  echo "pg-topology: the standby did not replay the import within 30 s" >&2
  return 1
}

down() {
  [ -f "$dir/nginx/nginx.pid" ] && "$nginx" -p "$dir/nginx" -c "$dir/nginx/nginx.conf" -s stop || true
  for pidfile in "$dir"/instance-*.pid; do
    [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null || true
  done
  for server in standby primary; do
    [ -f "$dir/$server/data/postmaster.pid" ] \
      && as_owner "$pg_bin/pg_ctl" -D "$dir/$server/data" -m fast -w stop >/dev/null || true
  done
}

[ $# -ge 2 ] || usage
command=$1
case $command in
  up)      [ $# -ge 5 ] || usage; dir=$(realpath "$2"); service=$3; port=$4; shift 4
           up "$service" "$port" "$@" ;;
  import)  [ $# -ge 4 ] || usage; dir=$(realpath "$2"); service=$3; shift 3; import "$service" "$@" ;;
  standby|primary)
           [ $# -eq 3 ] || usage; dir=$(realpath "$3")
           port=$standby_port
           [ "$command" = primary ] && port=$primary_port
           case $2 in
             stop)  as_owner "$pg_bin/pg_ctl" -D "$dir/$command/data" -m fast -w stop >/dev/null ;;
             start) start_server "$command" "$port" ;;
             *)     usage ;;
           esac ;;
  down)    dir=$(realpath "$2"); down ;;
  *)       usage ;;
esac
