#!/usr/bin/env bash
# Server CPU time per request, user and system, of builds side by side.
#
#   bench/cpu-per-request.sh [--rounds R] [-P PIPELINE] [-n N] [-t TESTS]
#                            [--args "SERVER ARGS"] SERVER...
#
# Each SERVER is a parleyd binary, or "ceiling" (build/parley-ceiling). For
# every round, each server (in an order reversed from round to round, so that
# drift hits all alike) is started fresh on a free loopback port and driven
# by build/parley-bench with each test of TESTS (default send,fetch,list,
# register), N requests (default 1000000) at PIPELINE (default 16); the
# server's user and system CPU time (from /proc) over each test, divided by
# N, is what it cost per request. Prints, per test and server, the medians
# over the rounds (default 5) of requests/s and of microseconds per request.
#
# Requests per second moves with whatever else the machine does; CPU time per
# request much less, which is why it is the figure to compare builds by.
# --args is given to every parleyd (not the ceiling); "--data-dir" in it gets
# a fresh scratch folder per start. Only 127.0.0.1 is contacted; every server
# started is stopped on exit.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/server-start.sh
. "$ROOT/bench/server-start.sh"
BUILD=$ROOT/build
ROUNDS=5
PIPE=16
N=1000000
TESTS=send,fetch,list,register
ARGS=""
SERVERS=()
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) ROUNDS=${2:?}; shift ;;
    -P) PIPE=${2:?}; shift ;;
    -n) N=${2:?}; shift ;;
    -t) TESTS=${2:?}; shift ;;
    --args) ARGS=${2?}; shift ;;
    -h|--help) sed -n '2,/^set /p' "$0" | sed -n 's/^# \{0,1\}//p'; exit 0 ;;
    -*) echo "cpu-per-request: unknown option $1" >&2; exit 2 ;;
    *) SERVERS+=("$1") ;;
  esac
  shift
done
[ ${#SERVERS[@]} -gt 0 ] || { echo "cpu-per-request: name at least one server (a parleyd binary, or ceiling)" >&2; exit 2; }

TMP=$(mktemp -d /tmp/parley-cpu.XXXXXX)
PID=""
trap '[ -n "$PID" ] && kill "$PID" 2>/dev/null; rm -rf "$TMP"' EXIT
TICK=$(getconf CLK_TCK)

# cpu_ticks PID FIELD: 14 = user, 15 = system (proc(5)).
cpu_ticks() { awk -v f="$2" '{ print $f }' "/proc/$1/stat"; }

# run_server SERVER ROUND: one start, every test; appends "server test rps user sys" lines.
run_server() {
  local server=$1 port t a_u a_s b_u b_s rps
  : >"$TMP/err"
  if [ "$server" = ceiling ]; then
    "$BUILD/parley-ceiling" --port 0 >/dev/null 2>"$TMP/err" &
  else
    server_args "$ARGS" "$TMP/data"
    "$server" --port 0 --max-conns-per-ip 0 ${SERVER_ARGS[@]+"${SERVER_ARGS[@]}"} >/dev/null 2>"$TMP/err" &
  fi
  PID=$!
  port=$(listening_port "$TMP/err" 10)
  [ -n "$port" ] || { echo "cpu-per-request: $server did not start:" >&2; cat "$TMP/err" >&2; exit 1; }
  for t in ${TESTS//,/ }; do
    a_u=$(cpu_ticks "$PID" 14); a_s=$(cpu_ticks "$PID" 15)
    rps=$("$BUILD/parley-bench" --port "$port" -t "$t" -P "$PIPE" -n "$N" --csv | awk -F, 'NR == 2 { gsub(/"/, "", $2); print $2 }')
    b_u=$(cpu_ticks "$PID" 14); b_s=$(cpu_ticks "$PID" 15)
    echo "$server $t $rps $((b_u - a_u)) $((b_s - a_s))" >>"$TMP/results"
  done
  kill "$PID"; wait "$PID" 2>/dev/null || true; PID=""
}

for round in $(seq 1 "$ROUNDS"); do
  order=("${SERVERS[@]}")
  if [ $((round % 2)) = 0 ]; then
    order=(); for ((i = ${#SERVERS[@]} - 1; i >= 0; i--)); do order+=("${SERVERS[$i]}"); done
  fi
  for s in "${order[@]}"; do run_server "$s" "$round"; done
done

echo "pipeline $PIPE, $N requests per test, medians of $ROUNDS round(s); server CPU in microseconds per request"
echo
echo "| test | server | req/s | CPU us/req | user | system |"
echo "|---|---|---:|---:|---:|---:|"
awk -v n="$N" -v tick="$TICK" '
  { k = $2 SUBSEP $1; if (!(k in seen)) { seen[k] = 1; order[++m] = k }
    c = ++cnt[k]; rps[k, c] = $3; usr[k, c] = $4 * 1e6 / tick / n; sys[k, c] = $5 * 1e6 / tick / n; tot[k, c] = usr[k, c] + sys[k, c] }
  function med(a, k, c,   i, j, t, v) { for (i = 1; i <= c; i++) v[i] = a[k, i]
    for (i = 2; i <= c; i++) for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return c % 2 ? v[(c + 1) / 2] : (v[c / 2] + v[c / 2 + 1]) / 2 }
  END { for (i = 1; i <= m; i++) { k = order[i]; split(k, p, SUBSEP); c = cnt[k]
      printf "| %s | %s | %.0f | %.2f | %.2f | %.2f |\n", p[1], p[2], med(rps, k, c), med(tot, k, c), med(usr, k, c), med(sys, k, c) } }
' "$TMP/results" | sort -t'|' -k2,2 -s
