#!/bin/sh
# Stops a server tools/start-test-postgres.sh started and removes its folder.
# Usage: tools/stop-test-postgres.sh URL   (the URL it printed)
set -eu

url=${1:?usage: tools/stop-test-postgres.sh URL}
dir=${url##*host=}
dir=${dir%%&*}
case $dir in
"${TMPDIR:-/tmp}"/tuneresults-pg.*) ;;
*)
    echo "stop-test-postgres: $url was not started by start-test-postgres.sh" >&2
    exit 64
    ;;
esac
bindir=${PG_BINDIR:-/usr/lib/postgresql/15/bin}
as=""
if [ "$(id -u)" -eq 0 ]; then
    as="runuser -u $(stat -c %U "$dir") --"
fi
if [ -f "$dir/data/postmaster.pid" ]; then
    $as "$bindir/pg_ctl" --pgdata="$dir/data" --mode=fast --wait --silent stop
fi
rm -rf "$dir"
