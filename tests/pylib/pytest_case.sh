#!/bin/sh
# One pytest case's outcome as its file's run left it (tests/pylib/pytest_ctest.py):
# the exit status on the first line (77: skipped), the report after it.
# Shell builtins only: a CTest test a case, and most pass.
if [ ! -r "$1" ]; then
    echo "no result for this case: its file's run did not reach it (see the file's own test)"
    exit 1
fi
{
    read -r status
    while IFS= read -r line; do
        printf '%s\n' "$line"
    done
} <"$1"
exit "$status"
