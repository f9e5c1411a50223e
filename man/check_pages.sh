#!/bin/sh
# Renders each manual page named on the command line as a reader would see
# it (man-db, groff warnings on) and fails when anything is written to
# standard error, by man or by groff -ww, or when a page renders empty.
# It first makes sure it can fail: broken.roff, beside this script, holds a
# roff mistake and must not pass.
set -u

scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT

# Silent for a clean page; else the page's name and what went wrong.
check() {
    page=$1
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" >"$scratch/out" 2>"$scratch/err" ||
        echo "man exited with status $?" >>"$scratch/err"
    LC_ALL=C.UTF-8 groff -man -ww -z "$page" 2>>"$scratch/err" ||
        echo "groff exited with status $?" >>"$scratch/err"
    grep -q '[^[:space:]]' "$scratch/out" || echo "the page renders empty" >>"$scratch/err"
    if [ -s "$scratch/err" ]; then
        echo "$page:"
        cat "$scratch/err"
        return 1
    fi
    return 0
}

broken=$(dirname "$0")/broken.roff
if [ ! -f "$broken" ] || check "$broken" >/dev/null; then
    echo "check_pages.sh: $broken is missing or passed, so this check would pass anything"
    exit 1
fi

status=0
for page in "$@"; do
    check "$page" || status=1
done
exit $status
