#!/usr/bin/env bash
# Installs the Debian package on this machine, runs what it installed from
# /usr, removes it again and checks that nothing it installed is left.
# Needs root (CI runs it). Usage: packaging/check_deb.sh PACKAGE.deb
set -euo pipefail
deb=$(realpath "$1")
name=$(dpkg-deb -f "$deb" Package)
version=$(dpkg-deb -f "$deb" Version)
work=$(mktemp -d)
docksim_pid=""
installed=""
cleanup() {
  [ -n "$docksim_pid" ] && kill "$docksim_pid" 2>/dev/null || true
  # A failed check does not leave the package on the machine.
  [ -n "$installed" ] && apt-get remove --purge -y "$name" > /dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check_deb: $*" >&2; exit 1; }

export DEBIAN_FRONTEND=noninteractive
apt-get install -y "$deb" > "$work/install.log" 2>&1 || { cat "$work/install.log"; fail "the package does not install"; }
installed=yes
dpkg -L "$name" > "$work/files"

# One version everywhere: the package, the console, the library's SONAME
# and its pkg-config file.
[ "$(tuneprobe --version)" = "tuneprobe $version" ] || fail "tuneprobe --version is not $version"
[ "$(ferryctl --version)" = "ferryctl $version (libferrylink $version)" ] || fail "ferryctl --version is not $version"
[ "$(docksim --version)" = "docksim $version" ] || fail "docksim --version is not $version"
[ "$(tuneresults --version)" = "tuneresults $version" ] || fail "tuneresults --version is not $version"
[ "$(pkg-config --modversion ferrylink)" = "$version" ] || fail "ferrylink.pc is not version $version"
soname=$(readelf -d "$(dpkg -L "$name" | grep -m1 'libferrylink\.so\.[0-9]*$')" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = "libferrylink.so.${version%%.*}" ] || fail "libferrylink's SONAME is $soname"
ldconfig -p | grep -q 'libferrylink\.so\.1 ' || fail "the dynamic linker's cache lacks libferrylink.so.1"
# libpq is loaded when a PostgreSQL store is named, not linked: the package
# depends on it by name.
dpkg-deb -f "$deb" Depends | grep -qw libpq5 || fail "the package does not depend on libpq5"

# The console from /usr on its private simulated library: the README's
# first session.
out=$(printf '0\n1\n3\n-1\n-1\n' | tuneprobe) || fail "tuneprobe exited $?"
grep -q 'GetDeviceMode was SUCCESSFUL.' <<< "$out" || fail "the first session did not run"
ldd /usr/bin/tuneprobe | grep -q "/tuneprobe/libTavrelCalAPI.so" || fail "tuneprobe does not use its private library"
if ldconfig -p | grep -q libTavrelCalAPI; then fail "the simulated library is on the system's library path"; fi

# docksim from /usr answers on loopback.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkfifo "$work/in"
docksim tcp --port "$port" < "$work/in" > "$work/docksim.log" 2>&1 &
docksim_pid=$!
exec 3> "$work/in"
for _ in $(seq 50); do
  python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $port), 0.2).close()" 2>/dev/null && break
  sleep 0.1
done
python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1).close()" || fail "docksim does not listen"
echo quit >&3
exec 3>&-
timeout 10 tail --pid="$docksim_pid" -f /dev/null || fail "docksim did not quit"
docksim_pid=""

# The console from /usr through ferrylink to docksim's modem: the private
# library finds the system's ferrylink.
docksim tcp --port "$port" --modem -v < /dev/null > "$work/modem.log" 2>&1 &
docksim_pid=$!
for _ in $(seq 50); do
  grep -q "listening on 127.0.0.1 ports $port" "$work/modem.log" && break
  sleep 0.1
done
out=$(printf '1\n127.0.0.1\n%s\n1\n3\n-1\n-1\n' "$port" | CALSIM_PROXY=1 timeout 60 tuneprobe) ||
  fail "tuneprobe through the proxy link exited $?"
grep -qF "GetDeviceMode was SUCCESSFUL." <<< "$out" || fail "the proxy session did not run: $out"
grep -qF "calibration request 3: GetDeviceMode" "$work/modem.log" || fail "the call did not reach docksim's modem"
kill "$docksim_pid"
wait "$docksim_pid" || true
docksim_pid=""

# The Python module from /usr finds its library; run as root it leaves byte
# code, which the removal below must take along with the module's folder.
/usr/bin/python3 -c 'import ferrylink; assert ferrylink.__file__ == "/usr/lib/python3/dist-packages/ferrylink/__init__.py"; ferrylink.load_library()' \
  || fail "the Python module does not import or load its library"

for page in tuneprobe docksim ferryctl tuneresults; do
  if grep -q "/man1/$page.1" "$work/files"; then man -w "$page" > /dev/null || fail "man cannot find $page(1)"; fi
done

apt-get remove --purge -y "$name" > "$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "the package does not remove"; }
installed=""
left=0
while read -r path; do
  if [ -e "$path" ] && [ ! -d "$path" ]; then echo "left behind: $path" >&2; left=1; fi
done < "$work/files"
[ "$left" = 0 ] || fail "files left after removal"
# The package's own folders go too.
while read -r dir; do
  [ ! -e "$dir" ] || fail "$dir left after removal"
done < <(grep -E '/(tuneprobe|ferrylink|tavrel-bench)$' "$work/files" | grep -v '/bin/')
if ldconfig -p | grep -q libferrylink; then fail "libferrylink is still in the dynamic linker's cache"; fi
echo "check_deb: $name $version installs, runs and removes cleanly"
