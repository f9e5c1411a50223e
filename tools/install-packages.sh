#!/bin/sh
# Installs the Debian 12 packages the project needs that are not installed
# yet, and nothing else. Run it as root, or as a user who may use sudo.
#
# Usage: tools/install-packages.sh [GROUP]
#   console  build the programs and run tuneprobe (the README's first command)
#   tests    build and run every test (the README's test command); the default
#   ci       what .ci/run needs besides: fuzzing, formatting, the package check,
#            a PostgreSQL server for the results store's tests
#
# Each group takes the ones above it. Every package is listed once, in the
# first group that needs it.
set -eu

console="cmake ninja-build g++ pkg-config nlohmann-json3-dev libtomlplusplus-dev libsqlite3-dev libpq-dev
  libcpp-httplib-dev"
tests="libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-pytest python3-jsonschema python3-pip python3-setuptools python3-wheel python3-venv
  man-db groff-base dpkg-dev file tshark
  libjs-chart.js chromium-headless-shell chromium-driver python3-selenium"
ci="clang-format-14 clang-tidy-14 clang-14 libclang-rt-14-dev llvm-14 lintian postgresql"

group=${1:-tests}
case $group in
console) wanted=$console ;;
tests) wanted="$console $tests" ;;
ci) wanted="$console $tests $ci" ;;
*)
    echo "usage: tools/install-packages.sh [console|tests|ci]" >&2
    exit 64
    ;;
esac

missing=""
for package in $wanted; do
    if ! dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing="$missing $package"
    fi
done
if [ -z "$missing" ]; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=""
elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo"
else
    echo "install-packages: these packages are missing:$missing" >&2
    echo "install-packages: run this as root (or install sudo)" >&2
    exit 1
fi
echo "install-packages: installing$missing"
# tshark asks whether non-root users may capture: the default (no) is fine.
$as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# shellcheck disable=SC2086 # one word a package
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
