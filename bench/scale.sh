#!/usr/bin/env bash
# Does Parley slow down as its store grows, and what does an idle connection cost?
#
#   bench/scale.sh [--quick] [--runs N] [--build DIR]
#
# Starts two build/parleyd servers on free loopback ports, stores 100,000
# users and 10,000 chats in the second, and runs every parley-bench test at
# pipeline 1 and 16 against both, alternating between them run by run so that
# the machine's drift hits both alike. Prints one Markdown table of medians and
# the ratio loaded/empty per test. Then opens 10,000 idle connections to the
# first and prints its resident growth per connection.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build
RUNS=3
REQUESTS=100000
USERS=100000
CHATS=10000
IDLE=10000

while [ $# -gt 0 ]; do
  case "$1" in
    --quick) RUNS=1; REQUESTS=10000; USERS=10000; CHATS=1000; IDLE=1000 ;;
    --runs) RUNS=${2:?--runs needs a number}; shift ;;
    --build) BUILD=$(cd "${2:?--build needs a folder}" && pwd); shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "scale: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

PARLEYD=$BUILD/parleyd
PBENCH=$BUILD/parley-bench
for bin in "$PARLEYD" "$PBENCH"; do
  [ -x "$bin" ] || { echo "scale: $bin not found; run 'make build' first" >&2; exit 1; }
done

TMP=$(mktemp -d)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then kill "$pid"; wait "$pid" 2>/dev/null || true; fi
  done
  rm -rf "$TMP"
}
trap cleanup EXIT

ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
# start_server NAME: starts parleyd, sets PORT_<NAME> and PID_<NAME>.
start_server() {
  # Every connection comes from 127.0.0.1: no per-address limit.
  "$PARLEYD" --port 0 --max-conns-per-ip 0 >/dev/null 2>"$TMP/$1.err" &
  local pid=$! port=""
  PIDS+=("$pid")
  for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$TMP/$1.err" | head -n1)
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "scale: parleyd did not start:" >&2; cat "$TMP/$1.err" >&2; exit 1; }
  printf -v "PORT_$1" '%s' "$port"
  printf -v "PID_$1" '%s' "$pid"
}
start_server empty
start_server loaded

echo "scale: load average $(cut -d' ' -f1-3 /proc/loadavg); $RUNS run(s) per figure" >&2
"$PBENCH" --port "$PORT_loaded" -q -t register -n "$USERS" -P 16 >/dev/null
python3 "$ROOT/bench/scale_helper.py" chats "$PORT_loaded" "$CHATS" >/dev/null

TESTS=send,fetch,list,register,mixed
# One run of every test at pipeline $2 against server $1; appends
# "server,pipeline,test,rps" lines to $TMP/results.
run() {
  local port_var="PORT_$1"
  "$PBENCH" --port "${!port_var}" --csv -n "$REQUESTS" -P "$2" -t "$TESTS" | tail -n +2 |
    tr -d '"' | awk -F, -v l="$1" -v p="$2" '{ print l "," p "," $1 "," $2 }' >>"$TMP/results"
}
for p in 1 16; do
  for _ in $(seq "$RUNS"); do
    run empty "$p"
    run loaded "$p"
  done
done

echo "| pipeline | test | empty store req/s | with $USERS users, $CHATS chats req/s | ratio |"
echo "|---:|---|---:|---:|---:|"
awk -F, '
  { key = $2 "," $3; v[$1, key, ++n[$1, key]] = $4; keys[key] = 1 }
  function median(l, k,   m, i, j, t, a) {
    m = n[l, k]; for (i = 1; i <= m; i++) a[i] = v[l, k, i]
    for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return (m % 2) ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2
  }
  END {
    split("1,16", ps, ","); split("send,fetch,list,register,mixed", ts, ",")
    for (i = 1; i <= 2; i++) for (j = 1; j <= 5; j++) {
      k = ps[i] "," ts[j]; e = median("empty", k); f = median("loaded", k)
      printf "| %s | %s | %.0f | %.0f | %.2f |\n", ps[i], ts[j], e, f, f / e
    }
  }' "$TMP/results"

read -r conns per_conn < <(python3 "$ROOT/bench/scale_helper.py" idle "$PORT_empty" "$IDLE" "$PID_empty")
echo
echo "Idle connections: $conns held open, resident growth $per_conn bytes per connection."
