#!/usr/bin/env bash
# Builds the Debian package (`make package`) and checks it as a user gets it:
#   1. the files it holds (the list below), the programs stripped
#   2. lintian: an error fails, warnings are printed (README.md explains those left)
#   3. extracted with dpkg -x into a scratch root (never installed here): the
#      installed parleyd starts on a free port with a scratch data directory,
#      the installed parley registers, sends, lists and fetches, SIGTERM stops
#      the server with status 0, and the message is still there after a restart
#   4. systemd-analyze verify on the unit, when the command exists
# Usage: packaging/check-package.sh [--no-build]   (--no-build: check the package built last)
set -euo pipefail
cd "$(dirname "$0")/.."
PKG_BUILD=${PKG_BUILD:-build-package}

step() { printf -- '-- %s\n' "$*"; }
fail() {
  printf -- '-- FAILED: %s\n' "$*" >&2
  exit 1
}

bash scripts/install-deps.sh lintian
[ "${1:-}" = "--no-build" ] || make --no-print-directory package PKG_BUILD="$PKG_BUILD"
deb=$(ls -t "$PKG_BUILD"/parley_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "no package in $PKG_BUILD/"
version=$(dpkg-deb -f "$deb" Version)
step "package $deb (version $version)"

work=$(mktemp -d)
server_pid=
cleanup() {
  [ -z "$server_pid" ] || kill -KILL "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# ---- 1. contents --------------------------------------------------------------
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
expected=(
  ./usr/bin/parleyd ./usr/bin/parley ./usr/bin/parley-bench
  ./usr/share/man/man1/parleyd.1.gz ./usr/share/man/man1/parley.1.gz ./usr/share/man/man1/parley-bench.1.gz
  ./lib/systemd/system/parleyd.service ./etc/default/parleyd
  ./usr/share/doc/parley/copyright ./usr/share/doc/parley/changelog.gz
  ./usr/include/parley/Client.h "./usr/lib/$multiarch/libparley_client.a"
  "./usr/lib/$multiarch/cmake/parley/parleyConfig.cmake"
  "./usr/lib/$multiarch/cmake/parley/parleyConfigVersion.cmake"
  "./usr/lib/$multiarch/cmake/parley/parleyTargets.cmake"
)
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/contents"
for path in "${expected[@]}"; do
  grep -qxF "$path" "$work/contents" || fail "$path is not in the package"
done
dpkg-deb -f "$deb" Depends | grep -q libsystemd0 || fail "Depends does not name libsystemd0"
step "contents: all ${#expected[@]} expected paths present; Depends: $(dpkg-deb -f "$deb" Depends)"

# ---- 2. lintian -----------------------------------------------------------------
step "lintian"
lintian --fail-on error "$deb" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian reports errors"

# ---- 3. the installed programs --------------------------------------------------
root=$work/root
dpkg-deb -x "$deb" "$root"
for program in parleyd parley parley-bench; do
  if readelf -S "$root/usr/bin/$program" | grep -q '\.symtab'; then fail "$program is not stripped"; fi
  got=$("$root/usr/bin/$program" --version)
  [ "$got" = "$program $version" ] || fail "$program --version printed '$got'"
  zcat "$root/usr/share/man/man1/$program.1.gz" | grep -q '^\.SH OPTIONS' || fail "$program.1 has no OPTIONS section"
done
step "--version of the three programs: $version; man pages have their sections"

# Starts the installed server on a free port with the scratch data directory.
start_server() {
  "$root/usr/bin/parleyd" --port 0 --data-dir "$work/data" >"$work/server.out" 2>"$work/server.err" &
  server_pid=$!
  for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on 0\.0\.0\.0:\([0-9]*\).*/\1/p' "$work/server.err")
    [ -z "$port" ] || return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/server.err" >&2
  fail "the installed parleyd did not start"
}
stop_server() {
  kill -TERM "$server_pid"
  local status=0
  wait "$server_pid" || status=$?
  server_pid=
  [ "$status" -eq 0 ] || { cat "$work/server.err" >&2; fail "parleyd exited with status $status on SIGTERM"; }
}
cli() { "$root/usr/bin/parley" --port "$port" "$@"; }
check() {  # check WANTED ARGS...: `parley ARGS` must print WANTED
  local wanted=$1 got
  shift
  got=$(cli "$@") || fail "parley $* exited with status $?"
  [ "$got" = "$wanted" ] || fail "parley $* printed '$got', not '$wanted'"
}

start_server
check ok register alice
check ok create alice room
check ok send alice room hello from the package
id=$(cli list room)
[[ "$id" =~ ^[0-9]+$ ]] || fail "parley list room printed '$id'"
check "$(printf 'alice\nhello from the package')" get room "$id"
stop_server
start_server
check "{\"id\":$id,\"sender\":\"alice\",\"body\":\"hello from the package\"}" --json history room
stop_server
step "installed parleyd and parley: round trip, SIGTERM exit 0, history kept across a restart"

# ---- 4. the systemd unit --------------------------------------------------------
if command -v systemd-analyze >/dev/null; then
  # The unit names /usr/bin/parleyd, which is not installed on this machine:
  # verify a copy whose paths point into the extracted root, with the man
  # pages of the package for its Documentation= line.
  sed "s|/usr/bin/parleyd|$root/usr/bin/parleyd|" "$root/lib/systemd/system/parleyd.service" >"$work/parleyd.service"
  MANPATH=$root/usr/share/man systemd-analyze verify "$work/parleyd.service" || fail "systemd-analyze verify"
  exposure=$(systemd-analyze security --offline=yes "$work/parleyd.service" 2>/dev/null | tail -n 1 || true)
  step "systemd-analyze verify: clean (parleyd's path pointed into the extracted root); ${exposure#→ }"
else
  step "systemd-analyze not installed: unit not verified"
fi
step "package checks passed"
