#!/bin/sh
# Starts a throw-away PostgreSQL 15 server for the results tests and prints
# its connection URL (the one line on standard output):
#
#   url=$(tools/start-test-postgres.sh)
#   TUNERESULTS_TEST_POSTGRES=$url ctest --test-dir build -L results
#   tools/stop-test-postgres.sh "$url"
#
# The cluster lives in a new temporary folder and listens on a unix socket
# there, nowhere else; trust authentication, as only the folder's owner can
# reach the socket. Run as root, the server runs as the user postgres
# (Debian's package creates it), or as a system user this script creates.
set -eu

bindir=${PG_BINDIR:-/usr/lib/postgresql/15/bin}
for program in initdb pg_ctl createdb; do
    if [ ! -x "$bindir/$program" ]; then
        echo "start-test-postgres: $bindir/$program is missing: install Debian's postgresql-15" >&2
        exit 1
    fi
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/tuneresults-pg.XXXXXX")
as=""
if [ "$(id -u)" -eq 0 ]; then
    owner=postgres
    if ! id "$owner" >/dev/null 2>&1; then
        owner=tuneresults-pg
        id "$owner" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$owner"
    fi
    chown "$owner" "$dir"
    as="runuser -u $owner --"
fi

fail() {
    echo "start-test-postgres: $1 (log: $dir/server.log)" >&2
    exit 1
}
$as "$bindir/initdb" --pgdata="$dir/data" --username=tuneresults --auth=trust --encoding=UTF8 --locale=C \
    --no-sync >"$dir/initdb.log" 2>&1 || fail "initdb failed: $(tail -n 3 "$dir/initdb.log")"
$as "$bindir/pg_ctl" --pgdata="$dir/data" --log="$dir/server.log" --wait --silent \
    --options="-c listen_addresses='' -c unix_socket_directories='$dir' -c fsync=off" start ||
    fail "the server did not start"
"$bindir/createdb" --host="$dir" --username=tuneresults tuneresults_test || fail "createdb failed"
echo "postgresql://tuneresults@/tuneresults_test?host=$dir"
