#!/bin/bash
# run.sh BUILD_DIR: installs BUILD_DIR into a fresh prefix with a blank in its
# path (twice), builds the consumer there through pkg-config and through the
# CMake package, runs both builds against the installed docksim, and runs the
# installed tuneprobe on its private simulated library.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: run.sh BUILD_DIR" >&2
    exit 2
fi
BUILD=$(cd "$1" && pwd)
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

T=$(mktemp -d)
P="$T/install dir"
dock_pid=
consumer_pid=

cleanup() {
    local pid
    for pid in $consumer_pid $dock_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    exec 3>&- || true
    rm -rf "$T"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
    echo "install_consumers: $*" >&2
    exit 1
}

# Runs a command with its output in a log shown only when it fails.
quiet() {
    local log="$T/step.log"
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        fail "failed: $*"
    fi
}

# A sanitizer build's library needs its runtime in the host program too.
sanitize=$(sed -n 's/^SANITIZE:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
case "$sanitize" in
    "") ;;
    address) export CFLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer" LDFLAGS="-fsanitize=address,undefined" ;;
    *) fail "no consumer flags for SANITIZE=$sanitize (the test runs in the default and asan builds)" ;;
esac

# The library folder was settled when the build was configured.
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$BUILD/CMakeCache.txt")
L="$P/$libdir"

quiet cmake --install "$BUILD" --prefix "$P"
quiet cmake --install "$BUILD" --prefix "$P"
[ ! -e "$L/libTavrelCalAPI.so" ] || fail "the simulated library is on the normal library path"

# Both builds have blanks in their paths too.
mkdir "$T/make build"
cp "$SRC/consumer.c" "$SRC/Makefile" "$T/make build/"
PKG_CONFIG_PATH="$L/pkgconfig" quiet make -C "$T/make build"
# Ninja, as the project itself builds (make costs twice the time for one file).
quiet cmake -S "$SRC" -B "$T/cmake build" -G Ninja -DCMAKE_PREFIX_PATH="$P"
quiet cmake --build "$T/cmake build"

# expect_loaded WHAT EXECUTABLE LIBRARY PATH [VAR=VALUE...]: LIBRARY resolves
# to the file PATH for EXECUTABLE in that environment.
expect_loaded() {
    local what=$1 exe=$2 lib=$3 want=$4 got
    shift 4
    env -u LD_LIBRARY_PATH "$@" ldd "$exe" >"$T/ldd.out" 2>&1 || true
    got=$(sed -n "s|^[[:space:]]*$lib => \(.*\) (0x[0-9a-f]*)\$|\1|p" "$T/ldd.out")
    if [ -z "$got" ] || [ "$(realpath -- "$got")" != "$(realpath -- "$want")" ]; then
        cat "$T/ldd.out" >&2
        fail "$what does not load $want"
    fi
}

# Waits up to $3 tenths of a second for a line $2 in file $1 while process
# $4 runs (looking every 20 ms: most lines come within a few).
await_line() {
    local i
    for ((i = 0; i < $3 * 5; ++i)); do
        grep -qx -- "$2" "$1" 2>/dev/null && return 0
        kill -0 "$4" 2>/dev/null || { grep -qx -- "$2" "$1" 2>/dev/null; return; }
        sleep 0.02
    done
    return 1
}

# Starts the installed docksim on a free pair of loopback ports below the
# ephemeral range, with the options given, its standard input on fd 3; sets
# port and dock_pid.
start_docksim() {
    local try
    rm -f "$T/docksim.in"
    mkfifo "$T/docksim.in"
    exec 3<>"$T/docksim.in"
    for ((try = 0; try < 20; ++try)); do
        port=$((20000 + RANDOM % 10000))
        rm -f "$T/docksim.out" # a line left from before would pass for this start
        timeout 120 "$P/bin/docksim" tcp --port "$port" "$@" <"$T/docksim.in" >"$T/docksim.out" 2>&1 3>&- &
        dock_pid=$!
        if await_line "$T/docksim.out" "docksim: listening on 127.0.0.1 ports $port and $((port + 10))" 100 "$dock_pid"; then
            return 0
        fi
        kill "$dock_pid" 2>/dev/null || true
        wait "$dock_pid" 2>/dev/null || true
        dock_pid=
    done
    cat "$T/docksim.out" >&2
    fail "docksim did not start"
}

stop_docksim() {
    local i status=0
    echo quit >&3
    for ((i = 0; i < 250; ++i)); do
        kill -0 "$dock_pid" 2>/dev/null || break
        sleep 0.02
    done
    kill "$dock_pid" 2>/dev/null || true
    wait "$dock_pid" || status=$?
    dock_pid=
    exec 3>&-
    if [ "$status" -ne 0 ]; then
        cat "$T/docksim.out" >&2
        fail "docksim ended with status $status"
    fi
}

# run_consumer NAME EXECUTABLE [VAR=VALUE...]: the environment it runs in.
run_consumer() {
    local name=$1 exe=$2 status=0
    shift 2
    # The installed library, not the build tree's, is the one loaded.
    expect_loaded "$name consumer" "$exe" libferrylink.so.1 "$L/libferrylink.so.1" "$@"
    start_docksim
    rm -f "$T/consumer.out"
    env -u LD_LIBRARY_PATH "$@" timeout 30 "$exe" "$port" >"$T/consumer.out" 2>&1 3>&- &
    consumer_pid=$!
    # The callback is registered: a data message now finds it.
    if await_line "$T/consumer.out" ready 150 "$consumer_pid"; then
        echo "send 16" >&3
    fi
    wait "$consumer_pid" || status=$?
    consumer_pid=
    if [ "$status" -ne 0 ]; then
        cat "$T/consumer.out" "$T/docksim.out" >&2
        fail "$name consumer ended with status $status"
    fi
    stop_docksim
    echo "$name consumer: passed"
}

# pkg-config gives no run path: the host program finds the library through
# LD_LIBRARY_PATH. The CMake build has the imported library's folder as its
# RUNPATH.
run_consumer pkg-config "$T/make build/consumer" LD_LIBRARY_PATH="$L"
run_consumer CMake "$T/cmake build/consumer"

# The installed ferryctl finds the installed library through its RUNPATH,
# outside the linker's folders and with no LD_LIBRARY_PATH, and reaches the
# installed docksim.
expect_loaded ferryctl "$P/bin/ferryctl" libferrylink.so.1 "$L/libferrylink.so.1"
version=$(env -u LD_LIBRARY_PATH "$P/bin/ferryctl" --version 2>&1) || fail "installed ferryctl --version: $version"
[[ "$version" == "ferryctl "*" (libferrylink "*")" ]] || fail "installed ferryctl --version: $version"
start_docksim
status=0
env -u LD_LIBRARY_PATH timeout 30 "$P/bin/ferryctl" --link "tcp:127.0.0.1:$port" --timeout 5 ping -n 3 \
    >"$T/ferryctl.out" 2>&1 3>&- || status=$?
if [ "$status" -ne 0 ]; then
    cat "$T/ferryctl.out" "$T/docksim.out" >&2
    fail "installed ferryctl ping ended with status $status"
fi
stop_docksim
echo "ferryctl: passed"

# The installed console on its private simulated library, and on another
# library of that name through LD_LIBRARY_PATH, which RUNPATH gives way to.
expect_loaded tuneprobe "$P/bin/tuneprobe" libTavrelCalAPI.so "$L/tuneprobe/libTavrelCalAPI.so"
mkdir "$T/other lib"
cp "$L/tuneprobe/libTavrelCalAPI.so" "$T/other lib/"
expect_loaded "tuneprobe with LD_LIBRARY_PATH" "$P/bin/tuneprobe" libTavrelCalAPI.so \
    "$T/other lib/libTavrelCalAPI.so" LD_LIBRARY_PATH="$T/other lib"
status=0
printf '0\n1\n3\n-1\n-1\n' | env -u LD_LIBRARY_PATH timeout 60 "$P/bin/tuneprobe" >"$T/tuneprobe.out" 2>&1 || status=$?
if [ "$status" -ne 0 ] || ! grep -qF "GetDeviceMode was SUCCESSFUL." "$T/tuneprobe.out"; then
    cat "$T/tuneprobe.out" >&2
    fail "installed tuneprobe session ended with status $status"
fi
echo "tuneprobe: passed"

# The same session through ferrylink to the installed docksim's modem: the
# private library finds the installed ferrylink one folder up.
start_docksim --modem -v
status=0
printf '1\n127.0.0.1\n%s\n1\n3\n-1\n-1\n' "$port" |
    env -u LD_LIBRARY_PATH CALSIM_PROXY=1 timeout 60 "$P/bin/tuneprobe" >"$T/tuneprobe.out" 2>&1 3>&- || status=$?
if [ "$status" -ne 0 ] || ! grep -qF "GetDeviceMode was SUCCESSFUL." "$T/tuneprobe.out" ||
    ! grep -qF "calibration request 3: GetDeviceMode" "$T/docksim.out"; then
    cat "$T/tuneprobe.out" "$T/docksim.out" >&2
    fail "installed tuneprobe through the proxy link ended with status $status"
fi
stop_docksim
echo "tuneprobe through the proxy link: passed"

# Manual pages, where installed: the pages the build made (the test
# man_pages renders those), where man looks for them.
shopt -s nullglob
for page in "$P"/share/man/man*/*; do
    name=${page##*/}
    cmp -s "$page" "$BUILD/man/$name" || fail "$page is not the build's $name"
    topic=${name%%.*}
    section=${name#"$topic".}
    section=${section%%.*}
    found=$(man -M "$P/share/man" -w "$section" "$topic" 2>&1) || fail "man does not find $topic($section): $found"
    [ "$(realpath -- "$found")" = "$(realpath -- "$page")" ] || fail "man finds $found for $topic($section)"
    echo "manual page $name: passed"
done
