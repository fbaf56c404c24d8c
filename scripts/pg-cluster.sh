#!/usr/bin/env bash
# A private PostgreSQL cluster for the tests: its own data folder, reached only through a Unix
# socket beside it, trusting local connections as the role "kelvor".
#   scripts/pg-cluster.sh start STATE_DIR   writes STATE_DIR/conninfo (libpq keyword/value form)
#   scripts/pg-cluster.sh stop STATE_DIR    stops it and removes its data
# The cluster lives in a short folder under /tmp (a socket's path may not exceed 107 bytes).
# PostgreSQL refuses to run as root; as root the cluster runs as the "postgres" account that
# Debian's package makes.
set -euo pipefail
action="${1:?start or stop}" state="${2:?state folder}"
bin="$(pg_config --bindir 2>/dev/null || true)"
if [ ! -x "$bin/initdb" ]; then bin="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)"; fi
as=()
if [ "$(id -u)" -eq 0 ]; then as=(runuser -u postgres --); fi

case "$action" in
start)
    mkdir -p "$state"
    if [ -f "$state/root" ]; then "$0" stop "$state" || true; fi
    root="$(mktemp -d /tmp/kelvor-pg.XXXXXX)"
    echo "$root" >"$state/root"
    if [ ${#as[@]} -gt 0 ]; then chown postgres: "$root"; fi
    "${as[@]}" "$bin/initdb" -D "$root/data" -U kelvor -A trust -E UTF8 --locale=C.UTF-8 \
        --no-sync >"$root/initdb.log" 2>&1 || { cat "$root/initdb.log" >&2; exit 1; }
    # -w: pg_ctl returns once the server accepts connections (or fails after -t seconds).
    if ! "${as[@]}" "$bin/pg_ctl" -D "$root/data" -l "$root/server.log" -w -t 60 \
        -o "-k $root -c listen_addresses='' -p 5432" start >/dev/null; then
        cat "$root/server.log" >&2
        exit 1
    fi
    echo "host=$root port=5432 user=kelvor dbname=postgres" >"$state/conninfo"
    ;;
stop)
    [ -f "$state/root" ] || exit 0
    root="$(cat "$state/root")"
    "${as[@]}" "$bin/pg_ctl" -D "$root/data" -m immediate -w -t 60 stop >/dev/null 2>&1 || true
    rm -rf "$root" "$state/root" "$state/conninfo"
    ;;
*)
    echo "usage: $0 start|stop STATE_DIR" >&2
    exit 2
    ;;
esac
