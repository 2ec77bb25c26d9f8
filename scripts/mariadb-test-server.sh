#!/usr/bin/env bash
# A throwaway MariaDB server for the database tests; no systemd, no option
# files, nothing outside <dir>.
#
#   mariadb-test-server.sh start <dir>   data dir, server on a private Unix
#                                        socket and a free 127.0.0.1 port, database
#                                        "vorntest", user vorn/vornpw; writes
#                                        <dir>/env (KEY=value lines)
#   mariadb-test-server.sh stop <dir>    shuts it down, removes <dir>
#   mariadb-test-server.sh restart <dir> stops and starts the server on the
#                                        same data, socket and port
#
# Every wait is bounded. Only the PID this script started (kept in <dir>) is
# ever signalled.
export PATH="${PATH:-/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin}:/usr/sbin:/sbin"
set -euo pipefail

cmd=${1:-}
dir=${2:-}
if [ -z "$cmd" ] || [ -z "$dir" ]; then
  echo "usage: $0 start|stop|restart <dir>" >&2
  exit 2
fi

pidfile="$dir/server.pid"
# Unix socket paths are limited to 107 bytes, so the socket lives in /tmp
# under a unique name kept in <dir>/sockpath.
sock=""
[ -f "$dir/sockpath" ] && sock=$(cat "$dir/sockpath")

free_port() {
  perl -MIO::Socket::INET -e '
    my $s = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0,
                                  Proto => "tcp", Listen => 1) or die "no port: $!";
    print $s->sockport(), "\n";'
}

alive() { [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null; }

# Root must name the user the server runs as; any other user runs it as
# itself (and may have no name, in a container).
as_user=()
[ "$(id -u)" -eq 0 ] && as_user=(--user=root)

# The PID is our server only while it runs on our data directory (a PID
# left in an old pid file may belong to another process by now).
ours() { alive "$1" && tr '\0' ' ' < "/proc/$1/cmdline" 2>/dev/null | grep -qF -- "--datadir=$dir/data"; }

admin() { timeout 10 mariadb-admin --no-defaults --socket="$sock" -uroot "$@"; }

# Launches mariadbd detached (own session, no inherited descriptors, so a
# test runner waiting on our output never waits for the server) and waits at
# most 30 s for it to answer. Returns 1 when it died (e.g. port taken).
launch() {
  local port=$1
  rm -f "$sock" "$dir/mariadbd.pid"
  setsid mariadbd --no-defaults "${as_user[@]}" --datadir="$dir/data" --tmpdir="$dir/tmp" \
    --socket="$sock" --port="$port" --bind-address=127.0.0.1 --skip-name-resolve \
    --pid-file="$dir/mariadbd.pid" --log-error="$dir/error.log" --skip-log-bin \
    --innodb-buffer-pool-size=32M --innodb-log-file-size=16M --max-connections=100 \
    --innodb-flush-log-at-trx-commit=0 --skip-innodb-doublewrite \
    </dev/null >/dev/null 2>&1 &
  local pid=$!
  echo "$pid" > "$pidfile"
  local i
  for i in $(seq 1 300); do
    if ! alive "$pid"; then
      return 1
    fi
    if admin ping >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.1
  done
  echo "mariadbd did not answer within 30 s" >&2
  return 1
}

# Ends the server started from <dir>: clean shutdown, then TERM, then KILL.
halt() {
  [ -f "$pidfile" ] || return 0
  local pid
  pid=$(cat "$pidfile")
  if ours "$pid"; then
    admin shutdown >/dev/null 2>&1 || kill -TERM "$pid" 2>/dev/null || true
    local i
    for i in $(seq 1 100); do
      alive "$pid" || break
      sleep 0.1
    done
    if alive "$pid"; then
      kill -TERM "$pid" 2>/dev/null || true
      for i in $(seq 1 50); do
        alive "$pid" || break
        sleep 0.1
      done
    fi
    alive "$pid" && kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$pidfile"
  [ -n "$sock" ] && rm -f "$sock" "$sock.lock"
  return 0
}

show_log() {
  [ -f "$dir/error.log" ] && tail -n 30 "$dir/error.log" >&2 || true
}

start() {
  # A server left behind by an interrupted run in the same directory.
  halt
  rm -rf "$dir"
  mkdir -p "$dir/tmp"
  # Temporary files of the set-up too: in a shared folder two servers set up
  # at once can collide on their temporary table names.
  export TMPDIR="$dir/tmp"
  sock=$(mktemp -u /tmp/vornmdb.XXXXXXXX)
  echo "$sock" > "$dir/sockpath"
  trap 'rc=$?; if [ $rc -ne 0 ]; then show_log; halt; rm -rf "$dir"; fi' EXIT

  timeout 60 mariadb-install-db --no-defaults "${as_user[@]}" --datadir="$dir/data" \
    --auth-root-authentication-method=normal --skip-test-db --skip-name-resolve \
    >"$dir/install.log" 2>&1 || { cat "$dir/install.log" >&2; exit 1; }

  local port tries=0
  while :; do
    port=$(free_port)
    launch "$port" && break
    tries=$((tries + 1))
    if [ $tries -ge 5 ]; then
      echo "mariadbd failed to start" >&2
      exit 1
    fi
  done

  timeout 10 mariadb --no-defaults --socket="$sock" -uroot <<'SQL'
CREATE DATABASE vorntest;
CREATE USER 'vorn'@'localhost' IDENTIFIED BY 'vornpw';
CREATE USER 'vorn'@'127.0.0.1' IDENTIFIED BY 'vornpw';
GRANT ALL PRIVILEGES ON vorntest.* TO 'vorn'@'localhost';
GRANT ALL PRIVILEGES ON vorntest.* TO 'vorn'@'127.0.0.1';
SQL

  cat > "$dir/env.tmp" <<EOF
VORN_MYSQL_HOST=127.0.0.1
VORN_MYSQL_PORT=$port
VORN_MYSQL_SOCKET=$sock
VORN_MYSQL_USER=vorn
VORN_MYSQL_PASSWORD=vornpw
VORN_MYSQL_DB=vorntest
EOF
  mv "$dir/env.tmp" "$dir/env"
  trap - EXIT
  echo "mariadbd up: 127.0.0.1:$port, $sock"
}

restart() {
  [ -f "$dir/env" ] || { echo "no server in $dir" >&2; exit 1; }
  local port
  port=$(sed -n 's/^VORN_MYSQL_PORT=//p' "$dir/env")
  halt
  launch "$port" || { show_log; halt; exit 1; }
}

case "$cmd" in
  start) start ;;
  stop) halt; rm -rf "$dir" ;;
  restart) restart ;;
  *) echo "unknown command: $cmd" >&2; exit 2 ;;
esac
