#!/usr/bin/env bash
# A throw-away PostgreSQL server for the tests, from Debian's postgresql
# package: a fresh cluster in a folder of the caller's, listening on a Unix
# socket in that folder and on no TCP port, trusting local connections as the
# role postgres.
#
#   pg-test-server.sh start DIR   creates DIR/data (unless it is there from
#                                 an earlier start), starts the server, and
#                                 prints the socket folder (for host=...)
#   pg-test-server.sh stop DIR    stops it (fast shutdown) and waits
#
# The server refuses to run as root: as root, DIR is handed to the postgres
# user (its parent folder made passable) and the server runs as that user;
# anyone else runs it as themselves.
# Exit status 77 when the server programs are not installed.
set -euo pipefail

usage() { echo "usage: $0 start|stop DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
cmd=$1
dir=$2

bin=""
for d in /usr/lib/postgresql/*/bin; do
  [ -x "$d/pg_ctl" ] && bin=$d
done
if [ -z "$bin" ]; then
  echo "$0: PostgreSQL server programs not found (Debian package postgresql)" >&2
  exit 77
fi

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

case "$cmd" in
  start)
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    if [ "$(id -u)" -eq 0 ]; then
      chown postgres: "$dir"
      # The postgres user must reach DIR: a private temporary parent (mode
      # 0700, as mktemp -d makes it) is opened for passing through only.
      chmod o+x "$(dirname "$dir")"
      if ! runuser -u postgres -- test -x "$dir"; then
        echo "$0: the postgres user cannot reach $dir" >&2
        exit 1
      fi
    fi
    # Started again after a stop: the same cluster, as after an outage.
    if [ ! -f "$dir/data/PG_VERSION" ]; then
      as_owner "$bin/initdb" --auth=trust -U postgres -E UTF8 --no-locale -D "$dir/data" \
        >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    fi
    # No TCP at all; the socket lives beside the data.  fsync off: a test
    # cluster is thrown away, and the tests measure the client, not the disk.
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-c listen_addresses='' -k $dir -c fsync=off -c max_connections=50" start \
      >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
    echo "$dir"
    ;;
  stop)
    dir=$(cd "$dir" && pwd)
    [ -d "$dir/data" ] || exit 0
    as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null 2>&1 || true
    ;;
  *) usage ;;
esac
