#!/usr/bin/env bash
# Instructions parleyd executes per request, counted by valgrind's callgrind.
#
#   bench/ir-per-request.sh [--build DIR] [-P PIPELINE] [-n N] [--top K]
#                           [--args "SERVER ARGS"] TEST...
#
# For each TEST (send, fetch, list, register) starts build/parleyd under
# callgrind twice, drives it with parley-bench -t TEST -n N and then -n 2N,
# stops it, and prints (Ir of the second - Ir of the first) / N: start-up,
# set-up and shutdown cancel out. Then the K functions (default 12) with the
# most instructions per request by the same difference, self cost only.
# --args is given to parleyd; "--data-dir" in it gets a fresh scratch folder
# per start.
# Only 127.0.0.1 is contacted; every server started is stopped on exit.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/server-start.sh
. "$ROOT/bench/server-start.sh"
BUILD=$ROOT/build
PIPE=16
N=100000
TOP=12
ARGS=""
TESTS=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD=$(cd "${2:?}" && pwd); shift ;;
    -P) PIPE=${2:?}; shift ;;
    -n) N=${2:?}; shift ;;
    --top) TOP=${2:?}; shift ;;
    --args) ARGS=${2?}; shift ;;
    -h|--help) sed -n '2,/^set /p' "$0" | sed -n 's/^# \{0,1\}//p'; exit 0 ;;
    -*) echo "ir-per-request: unknown option $1" >&2; exit 2 ;;
    *) TESTS+=("$1") ;;
  esac
  shift
done
[ ${#TESTS[@]} -gt 0 ] || TESTS=(send fetch list register)
command -v valgrind >/dev/null || { echo "ir-per-request: valgrind is not installed" >&2; exit 1; }

TMP=$(mktemp -d /tmp/parley-ir.XXXXXX)
PID=""
trap '[ -n "$PID" ] && kill "$PID" 2>/dev/null; rm -rf "$TMP"' EXIT

# profile TEST REQUESTS OUTFILE: one server under callgrind, one client run.
profile() {
  local port
  server_args "$ARGS" "$TMP/data"
  valgrind --tool=callgrind --callgrind-out-file="$3" "$BUILD/parleyd" --port 0 --max-conns-per-ip 0 \
    ${SERVER_ARGS[@]+"${SERVER_ARGS[@]}"} >/dev/null 2>"$TMP/server.err" &
  PID=$!
  port=$(listening_port "$TMP/server.err" 60)
  [ -n "$port" ] || { echo "ir-per-request: parleyd did not start:" >&2; cat "$TMP/server.err" >&2; exit 1; }
  "$BUILD/parley-bench" --port "$port" -t "$1" -n "$2" -P "$PIPE" -q >/dev/null
  kill -TERM "$PID"
  wait "$PID" || true
  PID=""
}

# The self cost of every function of a profile, its inlined parts (listed by
# source file) summed: "Ir<TAB>function" lines, the function without its
# arguments.
by_function() {
  callgrind_annotate --auto=no --threshold=100 "$1" 2>/dev/null |
    awk '/^ *[0-9,]+ (\([^)]*\) +)?[^ (=]/ && !/PROGRAM TOTALS/ {
        v = $1; gsub(/,/, "", v); $1 = ""
        sub(/^ *(\([^)]*\))? */, ""); sub(/^[^:]*:/, ""); sub(/ \[[^]]*\]$/, ""); gsub(/\(anonymous namespace\)/, "{anon}"); sub(/\(.*/, "")
        ir[substr($0, 1, 100)] += v }
      END { for (f in ir) print ir[f] "\t" f }'
}

for t in "${TESTS[@]}"; do
  profile "$t" "$N" "$TMP/a.out"
  profile "$t" $((2 * N)) "$TMP/b.out"
  a=$(sed -n 's/^summary: *//p' "$TMP/a.out")
  b=$(sed -n 's/^summary: *//p' "$TMP/b.out")
  echo "$t at pipeline $PIPE: $(( (b - a) / N )) Ir per request"
  by_function "$TMP/a.out" >"$TMP/a.txt"
  by_function "$TMP/b.out" >"$TMP/b.txt"
  awk -F'\t' -v n="$N" -v tot=$((b - a)) 'NR == FNR { a[$2] = $1; next }
      { d = $1 - a[$2]; if (d > 0) printf "%8.1f %5.1f%%  %s\n", d / n, 100 * d / tot, $2 }' \
    "$TMP/a.txt" "$TMP/b.txt" | sort -rn | head -n "$TOP" || true  # head may close the pipe early
  echo
done
