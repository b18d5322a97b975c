#!/usr/bin/env bash
# Side-by-side benchmark of parleyd and redis-server on this machine.
#
#   bench/compare-redis.sh [--quick] [--runs N] [--build DIR] [--out DIR] [--only fanout|tls|ceiling]
#
# Starts build/parleyd and redis-server (no persistence) on free loopback
# ports, runs parley-bench and redis-benchmark with the same clients, requests,
# pipeline depth and value size, and prints one Markdown table of medians:
#   send ~ LPUSH and SET, fetch ~ GET, list ~ LRANGE_100, register ~ SADD of
#   fresh members, mixed has no counterpart.
# Then the same pairs with one load generator for both: Redis asked by
# build/redis-load, parley-bench's own connections and timing over Redis's
# protocol, so that the two generators' costs and ways of timing drop out.
# Then fills a fresh instance of each with one million 64-byte messages (one
# chat / one list) and compares their resident sizes, and measures send/fetch
# against LPUSH/GET at pipeline 1, 4, 16 and 64 for a chart (gnuplot PNG).
# Durability: send against LPUSH at pipeline 1 and 16 with parleyd --data-dir
# --fsync everysec / always and redis-server --appendonly yes --appendfsync of
# the same name, beside both without persistence; then how long each takes to
# restart on one million messages written with everysec, and its RSS then.
# Push fan-out: parley-bench -t fanout against build/redis-load (the same
# test over Redis pub/sub) with 1, 100 and 1000 subscribers flat out and 1000
# subscribers at 1000 and at 100 messages/s; then the server's memory per idle
# subscription (-t subscribe, 100 connections x 1000 chats or channels).
# Against the ceiling: send, fetch, list and register at pipeline 1, 16 and 64
# on parleyd and on build/parley-ceiling (one thread that answers every frame
# and does nothing else: the most parley-bench can measure on this machine),
# and Parley's fraction of it; send also with --data-dir --fsync everysec.
# Over TLS: the paired tests of the first table at pipeline 1 and 16, with
# parleyd --no-plain --tls-port and redis-server --port 0 --tls-port serving
# the same throwaway certificate (EC P-256, for 127.0.0.1, from a CA made with
# the openssl command in the scratch folder), and both benchmarks checking it
# against that CA (--tls --cacert).
#
# redis-server, gnuplot-nox and libhiredis-dev come from Debian; run as root,
# the script installs them (and builds redis-load once hiredis is there),
# otherwise it prints the apt-get line and skips what is missing.
# Every server it starts is stopped on exit. Only 127.0.0.1 is ever contacted.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build
OUT=""
QUICK=0
RUNS=""
ONLY=""

CLIENTS=50
VALUE=64

usage() {
  sed -n '2,/^set /p' "$0" | sed -n 's/^# \{0,1\}//p'
  cat <<EOF
Options:
  --quick      smoke run: 10000 requests, one run, 100000 messages for the
               memory fill and the restart; results go to a scratch folder,
               not docs/img
  --runs N     repeat the throughput runs N times and report medians
               (default 3, or 1 with --quick)
  --build DIR  where parleyd and parley-bench were built (default build/)
  --out DIR    where the chart and its data go (default docs/img/)
  --only fanout
               run the push fan-out part alone
  --only tls   run the TLS part alone
  --only ceiling
               run the ceiling part alone
EOF
}

while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1 ;;
    --runs) RUNS=${2:?--runs needs a number}; shift ;;
    --build) BUILD=$(cd "${2:?--build needs a folder}" && pwd); shift ;;
    --out) OUT=${2:?--out needs a folder}; shift ;;
    --only) ONLY=${2:?--only needs a part}; shift
            case "$ONLY" in fanout|tls|ceiling) ;; *) echo "compare-redis: --only knows 'fanout', 'tls' and 'ceiling'" >&2; exit 2 ;; esac ;;
    -h|--help) usage; exit 0 ;;
    *) echo "compare-redis: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

if [ "$QUICK" = 1 ]; then
  REQUESTS=10000
  FILL=100000
  RUNS=${RUNS:-1}
  FAN_SECONDS=2
else
  REQUESTS=100000
  FILL=1000000
  RUNS=${RUNS:-3}
  FAN_SECONDS=5
fi
case "$RUNS" in ''|*[!0-9]*|0) echo "compare-redis: --runs wants a positive number" >&2; exit 2 ;; esac

PARLEYD=$BUILD/parleyd
PBENCH=$BUILD/parley-bench
CEILING=$BUILD/parley-ceiling
for bin in "$PARLEYD" "$PBENCH"; do
  if [ ! -x "$bin" ]; then
    echo "compare-redis: $bin not found; build first: cmake -S . -B build -G Ninja && cmake --build build -j2" >&2
    exit 1
  fi
done

TMP=$(mktemp -d /tmp/parley-compare.XXXXXX)
if [ -z "$OUT" ]; then
  if [ "$QUICK" = 1 ]; then OUT=$TMP/out; else OUT=$ROOT/docs/img; fi
fi
mkdir -p "$OUT"

# ---------------------------------------------------------------- servers ---
PIDS=()   # servers started by this script
CHILD=""  # the benchmark client running now, if any
cleanup() {
  local pid
  [ -n "$CHILD" ] && kill "$CHILD" 2>/dev/null
  for pid in "${PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

note() { echo "$*" >&2; }

# Installs the Debian packages named, as root; otherwise prints the command.
# Returns 1 if any is still missing.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    note "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >&2 && apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2 && return 0
    note "compare-redis: apt-get failed for ${missing[*]}"
    return 1
  fi
  note "compare-redis: missing ${missing[*]}; run: sudo apt-get install -y ${missing[*]}"
  return 1
}

HAVE_REDIS=0
HAVE_GNUPLOT=0
if ensure_packages redis-server && command -v redis-server >/dev/null && command -v redis-benchmark >/dev/null; then
  HAVE_REDIS=1
else
  note "compare-redis: Redis not available: the Redis columns stay empty"
fi
if [ -z "$ONLY" ] && ensure_packages gnuplot-nox && command -v gnuplot >/dev/null; then
  HAVE_GNUPLOT=1
elif [ -z "$ONLY" ]; then
  note "compare-redis: gnuplot not available: no chart"
fi
# redis-load (parley-bench's tests over Redis) is built with the rest once hiredis is installed.
RLOAD=$BUILD/redis-load
if [ "$HAVE_REDIS" = 1 ] && { [ -z "$ONLY" ] || [ "$ONLY" = fanout ]; } && [ ! -x "$RLOAD" ] && ensure_packages libhiredis-dev; then
  note "building redis-load ..."
  { cmake -S "$ROOT" -B "$BUILD" && cmake --build "$BUILD" -j 2 --target redis-load; } >"$TMP/redis-load-build.log" 2>&1 ||
    { note "compare-redis: building redis-load failed:"; tail -n 20 "$TMP/redis-load-build.log" >&2; }
fi
HAVE_RLOAD=0
if [ "$HAVE_REDIS" = 1 ] && [ -x "$RLOAD" ]; then
  HAVE_RLOAD=1
elif [ -z "$ONLY" ] || [ "$ONLY" = fanout ]; then
  note "compare-redis: no redis-load: the Redis fan-out and one-generator columns stay empty"
fi

# A loopback port in 20000-29999 that no socket uses, taken below the
# kernel's ephemeral range so that no outgoing connection can be holding it.
free_port() {
  local low p
  low=$(awk '{print $1}' /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
  [ "$low" -gt 21000 ] || low=32768
  [ "$low" -le 30000 ] || low=30000
  for _ in $(seq 1 100); do
    p=$((20000 + RANDOM % (low - 20000)))
    if command -v ss >/dev/null; then
      [ -z "$(ss -Htan "( sport = :$p )" 2>/dev/null)" ] || continue
    fi
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"
      return 0
    fi
  done
  note "compare-redis: no free port found"
  return 1
}

# Waits until something accepts connections on 127.0.0.1:$1.
wait_port() {
  for _ in $(seq 1 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

# start_parley [ARGS]: sets PARLEY_PID and PARLEY_PORT. The server picks its
# own port (--port 0) and names it on stderr: "parleyd: listening on ADDR:PORT ...".
# Every benchmark connects from 127.0.0.1, the fan-out with 1000 connections:
# no limit of connections per address.
start_parley() {
  : >"$TMP/parleyd.err"
  "$PARLEYD" --port 0 --max-conns-per-ip 0 "$@" >/dev/null 2>"$TMP/parleyd.err" &
  PARLEY_PID=$!
  PIDS+=("$PARLEY_PID")
  PARLEY_PORT=$(listening_port parleyd "$TMP/parleyd.err")
}

# listening_port NAME LOG: the port the server just started names in LOG
# ("listening on ADDR:PORT"), once it accepts; exits if it never does.
listening_port() {
  local port=""
  for _ in $(seq 1 200); do
    port=$(sed -n 's/.*listening on [^ ]*:\([0-9][0-9]*\).*/\1/p' "$2" | head -n 1)
    [ -n "$port" ] && break
    sleep 0.05
  done
  if [ -z "$port" ] || ! wait_port "$port"; then
    note "compare-redis: $1 did not start:"; cat "$2" >&2
    exit 1
  fi
  echo "$port"
}

# start_ceiling: sets CEILING_PID and CEILING_PORT (build/parley-ceiling).
start_ceiling() {
  : >"$TMP/ceiling.err"
  "$CEILING" --port 0 >/dev/null 2>"$TMP/ceiling.err" &
  CEILING_PID=$!
  PIDS+=("$CEILING_PID")
  CEILING_PORT=$(listening_port parley-ceiling "$TMP/ceiling.err")
}

# start_redis [PERSISTENCE ARGS]: sets REDIS_PID and REDIS_PORT. Tries a few
# ports in case one is taken between the check and the bind. No RDB snapshots;
# no append-only file unless the arguments ask for one. With REDIS_TLS set (the
# certificate options), the port speaks TLS alone.
REDIS_TLS=()
start_redis() {
  local persist=(--appendonly no) listen
  [ $# -gt 0 ] && persist=("$@")
  for _ in 1 2 3; do
    REDIS_PORT=$(free_port)
    listen=(--port "$REDIS_PORT")
    [ ${#REDIS_TLS[@]} -gt 0 ] && listen=(--port 0 --tls-port "$REDIS_PORT" "${REDIS_TLS[@]}")
    redis-server "${listen[@]}" --bind 127.0.0.1 --save '' "${persist[@]}" \
      --daemonize no --logfile "$TMP/redis.log" >/dev/null 2>&1 &
    REDIS_PID=$!
    PIDS+=("$REDIS_PID")
    wait_port "$REDIS_PORT" && kill -0 "$REDIS_PID" 2>/dev/null && return 0
    stop_pid "$REDIS_PID"
  done
  note "compare-redis: redis-server did not start:"; cat "$TMP/redis.log" >&2
  exit 1
}

stop_pid() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  local keep=() pid
  for pid in "${PIDS[@]}"; do [ "$pid" != "$1" ] && keep+=("$pid"); done
  PIDS=("${keep[@]+"${keep[@]}"}")
}

# Longest a single benchmark client may run before it is stopped (a client
# whose server vanished may otherwise spin forever).
CLIENT_LIMIT=300

# Runs a benchmark client in the background and waits for it, so that Ctrl-C
# and the time limit both stop it. Returns its exit status (124 on time-out).
bounded() {
  local rc=0
  timeout --kill-after=5 "$CLIENT_LIMIT" "$@" &
  CHILD=$!
  wait "$CHILD" || rc=$?
  CHILD=""
  return "$rc"
}

# Fails the run if a server this script started is gone (crashed or killed
# from outside): its figures would be meaningless.
check_alive() {
  if ! kill -0 "$2" 2>/dev/null; then
    FAILED=1
    note "compare-redis: $1 (pid $2) exited during the run; its figures are not valid"
  fi
}

# check_and_stop REDIS_TOO(0|1): checks that the parleyd (and, when REDIS_TOO
# is 1, the redis-server) started last is still running, then stops it.
check_and_stop() {
  check_alive parleyd "$PARLEY_PID"
  stop_pid "$PARLEY_PID"
  if [ "$1" = 1 ]; then
    check_alive redis-server "$REDIS_PID"
    stop_pid "$REDIS_PID"
  fi
}

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# middle: the median of the numbers on standard input, one per line, or "-".
middle() {
  sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "-"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# median SERVER TEST PIPELINE COLUMN(5=rps, 6=p99): the median over the runs, or "-".
median() {
  awk -v S="$1" -v T="$2" -v P="$3" -v C="$4" '$1 == S && $2 == T && $3 == P { print $C }' "$RESULTS" | middle
}

fmt_rps() { if [ "$1" = "-" ]; then echo "-"; else printf "%.0f" "$1"; fi; }
fmt_ms() { if [ "$1" = "-" ]; then echo "-"; else printf "%.3f" "$1"; fi; }
ratio() {
  if [ "$1" = "-" ] || [ "$2" = "-" ]; then
    echo "-"
  else
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'
  fi
}
mib() { if [ "$1" = "-" ]; then echo "-"; else awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; fi; }

# ---------------------------------------------------------------- fan-out ---
# One publisher, S subscribers of one chat (Parley) or channel (Redis), the
# same client code for both: parley-bench -t fanout and redis-load. Flat out
# with 1, 100 and 1000 subscribers, then 1000 subscribers at 1000 messages/s,
# and at 100 messages/s (10 ms between messages: one message's fan-out alone).
# The publisher keeps at most FAN_WINDOW publishes unanswered (and no
# subscriber more than 1024 messages behind). Lines of $FANRES:
#   server fanout S:RATE run events_per_s p50_ms p99_ms p999_ms
FANRES=$TMP/fanout.txt
FAN_WINDOW=16
FAN_CASES="1:0 100:0 1000:0 1000:1000 1000:100"

# fan_run PROGRAM SERVER PORT PID CASE RUN
fan_run() {
  local prog=$1 server=$2 port=$3 pid=$4 subs=${5%%:*} rate=${5#*:} run=$6 rc=0 csv=$TMP/fan.csv
  bounded "$prog" --port "$port" -t fanout --subscribers "$subs" --rate "$rate" -P "$FAN_WINDOW" -d "$VALUE" \
    --warmup 1 --duration "$FAN_SECONDS" --server-pid "$pid" --csv >"$csv" 2>"$TMP/fan.err" || rc=$?
  if [ "$rc" -ne 0 ]; then
    FAILED=1
    note "compare-redis: $(basename "$prog") failed (exit $rc) with $subs subscribers at rate $rate:"; cat "$TMP/fan.err" >&2
  fi
  # "test","rps","p50_ms","p99_ms","p999_ms","max_ms","errors"
  awk -F, -v S="$server" -v K="$5" -v R="$run" '$1 == "\"fanout\"" {
      for (i = 1; i <= NF; i++) gsub(/"/, "", $i)
      print S, "fanout", K, R, $2, $3, $4, $5 }' "$csv" >>"$FANRES"
}

# idle_memory PROGRAM SERVER RUN: on a fresh server, appends to $IDLERES
# "SERVER RUN KiB-without KiB-with bytes-per-subscription".
idle_memory() {
  local line pid port
  if [ "$2" = parley ]; then start_parley; pid=$PARLEY_PID; port=$PARLEY_PORT; else start_redis; pid=$REDIS_PID; port=$REDIS_PORT; fi
  line=$(bounded "$1" --port "$port" -t subscribe --subscribers 100 --chats 1000 --server-pid "$pid" -q 2>"$TMP/idle.err" |
    sed -n 's/^idle subscriptions: server RSS \([0-9]*\) KiB without, \([0-9]*\) KiB with [0-9]* subscriptions: \([0-9.-]*\) bytes.*/\1 \2 \3/p')
  if [ -z "$line" ]; then
    FAILED=1
    note "compare-redis: $(basename "$1") -t subscribe failed:"; cat "$TMP/idle.err" >&2
  else
    echo "$2 x $3 $line" >>"$IDLERES"
  fi
  check_alive "$2" "$pid"
  stop_pid "$pid"
}

fanout_part() {
  local run c started rate p50 p99 p999 r50 r99 r999 prps rrps server mem
  : >"$FANRES"
  started=$(date +%s)
  for run in $(seq 1 "$RUNS"); do
    note "fan-out run $run/$RUNS ..."
    start_parley
    [ "$HAVE_RLOAD" = 1 ] && start_redis
    for c in $FAN_CASES; do
      fan_run "$PBENCH" parley "$PARLEY_PORT" "$PARLEY_PID" "$c" "$run"
      [ "$HAVE_RLOAD" = 1 ] && fan_run "$RLOAD" redis "$REDIS_PORT" "$REDIS_PID" "$c" "$run"
    done
    check_and_stop "$HAVE_RLOAD"
  done
  echo
  echo "Push fan-out: one publisher, S subscribers of one chat (Parley) or channel (Redis), $VALUE-byte bodies carrying"
  echo "their send time, at most $FAN_WINDOW publishes unanswered, 1 s warm-up then $FAN_SECONDS s measured, median of $RUNS"
  echo "run(s). Events/s: events delivered to all subscribers together; latency: publish to delivery, in ms."
  echo
  echo "| subscribers | msg/s | Parley events/s | Redis events/s | ratio | Parley p50 | Redis p50 | Parley p99 | Redis p99 | Parley p99.9 | Redis p99.9 |"
  echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  for c in $FAN_CASES; do
    prps=$(RESULTS=$FANRES median parley fanout "$c" 5)
    rrps=$(RESULTS=$FANRES median redis fanout "$c" 5)
    p50=$(RESULTS=$FANRES median parley fanout "$c" 6); r50=$(RESULTS=$FANRES median redis fanout "$c" 6)
    p99=$(RESULTS=$FANRES median parley fanout "$c" 7); r99=$(RESULTS=$FANRES median redis fanout "$c" 7)
    p999=$(RESULTS=$FANRES median parley fanout "$c" 8); r999=$(RESULTS=$FANRES median redis fanout "$c" 8)
    rate=${c#*:}; [ "$rate" = 0 ] && rate="flat out"
    echo "| ${c%%:*} | $rate | $(fmt_rps "$prps") | $(fmt_rps "$rrps") | $(ratio "$prps" "$rrps") | $(fmt_ms "$p50") |" \
      "$(fmt_ms "$r50") | $(fmt_ms "$p99") | $(fmt_ms "$r99") | $(fmt_ms "$p999") | $(fmt_ms "$r999") |"
  done
  fan_elapsed=$(( $(date +%s) - started ))

  # Idle subscriptions: each measurement on a fresh server; columns of $IDLERES:
  #   server x run KiB-without KiB-with bytes-per-subscription
  IDLERES=$TMP/idle.txt
  : >"$IDLERES"
  for run in $(seq 1 "$RUNS"); do
    idle_memory "$PBENCH" parley "$run"
    [ "$HAVE_RLOAD" = 1 ] && idle_memory "$RLOAD" redis "$run"
  done
  echo
  echo "Idle subscriptions: 100 connections each subscribed to 1000 chats (Parley; every user a member of every chat)"
  echo "or channels (Redis). RSS after the same connections each sent 2000 requests that change nothing (as many replies"
  echo "as the subscribes bring), then after the 100000 subscriptions; growth divided by 100000. Median of $RUNS fresh"
  echo "server(s) (the RSS columns are those of the median run)."
  echo
  echo "| server | RSS without MiB | RSS with MiB | bytes per idle subscription |"
  echo "|---|---:|---:|---:|"
  for server in parley redis; do
    read -r -a mem <<<"$(awk -v S="$server" '$1 == S' "$IDLERES" | sort -g -k6 | awk '{ v[NR] = $0 } END {
      if (NR == 0) print "- - - - - -"; else print v[int((NR + 1) / 2)] }')"
    echo "| $([ "$server" = parley ] && echo parleyd || echo redis-server) | $(mib "${mem[3]}") | $(mib "${mem[4]}") | ${mem[5]} |"
  done
}

# The closing note on where and when, and the exit status.
finish() {
  echo
  echo "(load average before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg);"
  echo " machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), kernel $(uname -r);"
  rev=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)
  rver=$( [ "$HAVE_REDIS" = 1 ] && redis-server --version | cut -d' ' -f1-3 || echo "no Redis")
  echo " parleyd at commit $rev; $rver)"
  if [ "$FAILED" = 1 ]; then
    note "compare-redis: some runs reported errors; see above"
    exit 1
  fi
  exit 0
}

# ------------------------------------------------------------- benchmarks ---
# Every measurement becomes one line of $RESULTS: server test pipeline run rps p99_ms
RESULTS=$TMP/results.txt
: >"$RESULTS"
FAILED=0

# Requests per test at pipeline depth $1: deeper pipelines run more requests
# (x4 at 16, x16 at 64) so that each measurement lasts long enough to mean
# something. Both servers always get the same count.
requests_at() { local m=$(( $1 / 4 )); [ "$m" -lt 1 ] && m=1; echo $(( REQUESTS * m )); }

# Extra arguments of every parley-bench and redis-benchmark run (the TLS part's).
PB_EXTRA=()
RB_EXTRA=()

# parley_run PIPELINE RUN TESTS [SERVER PORT]: against parleyd unless SERVER
# (its name in $RESULTS) and PORT say otherwise.
parley_run() {
  local csv=$TMP/parley.csv rc=0
  bounded "$PBENCH" --port "${5:-$PARLEY_PORT}" ${PB_EXTRA[@]+"${PB_EXTRA[@]}"} -c "$CLIENTS" -n "$(requests_at "$1")" -P "$1" -d "$VALUE" -t "$3" --csv \
    >"$csv" 2>"$TMP/parley-bench.err" || rc=$?
  if [ "$rc" -ne 0 ]; then
    FAILED=1
    note "compare-redis: parley-bench failed (exit $rc) at pipeline $1:"; cat "$TMP/parley-bench.err" >&2
  fi
  # "test","rps","p50_ms","p99_ms","p999_ms","max_ms","errors"
  awk -F, -v S="${4:-parley}" -v P="$1" -v R="$2" 'NR > 1 { for (i = 1; i <= NF; i++) gsub(/"/, "", $i); print S, $1, P, R, $2, $4 }' \
    "$csv" >>"$RESULTS"
}

# redis_run PIPELINE RUN TESTS [extra redis-benchmark arguments and command]
redis_run() {
  local p=$1 run=$2 tests=$3 csv=$TMP/redis.csv
  shift 3
  local targs=()
  [ -n "$tests" ] && targs=(-t "$tests")
  if ! bounded redis-benchmark -h 127.0.0.1 -p "$REDIS_PORT" ${RB_EXTRA[@]+"${RB_EXTRA[@]}"} -c "$CLIENTS" -n "$(requests_at "$p")" -P "$p" -d "$VALUE" \
      --csv "${targs[@]}" "$@" >"$csv" 2>"$TMP/redis-benchmark.err"; then
    FAILED=1
    note "compare-redis: redis-benchmark failed at pipeline $p:"; cat "$TMP/redis-benchmark.err" >&2
  fi
  # "test","rps","avg_latency_ms","min_latency_ms","p50_latency_ms","p95_latency_ms","p99_latency_ms","max_latency_ms"
  awk -F, -v P="$p" -v R="$run" 'NR > 1 {
      for (i = 1; i <= NF; i++) gsub(/"/, "", $i)
      name = $1
      if (name ~ /needed to benchmark/) next
      sub(/ .*/, "", name); name = toupper(name)
      print "redis", name, P, R, $2, $7 }' "$csv" >>"$RESULTS"
}

# pair_runs PIPELINE RUN: the tests of the paired table at one depth, on the
# servers started last; over plain TCP, the same tests through redis-load too.
pair_runs() {
  parley_run "$1" "$2" send,fetch,list,register,mixed
  if [ "$HAVE_REDIS" = 1 ]; then
    redis_run "$1" "$2" set,get,lpush,lrange_100
    # Registering a fresh name ~ adding a fresh member to one set.
    redis_run "$1" "$2" "" -r 100000000 sadd users "user:__rand_int__"
    if [ "$HAVE_RLOAD" = 1 ] && [ ${#PB_EXTRA[@]} -eq 0 ]; then
      PBENCH=$RLOAD parley_run "$1" "$2" send,fetch,list,register redis-load "$REDIS_PORT"
    fi
  fi
}

# The paired table of $RESULTS at the depths of MAIN_PIPES.
pair_table() {
  local p pair t r prps pp99 rrps rp99
  echo "| pipeline | test | Parley req/s | Redis pair | Redis req/s | ratio | Parley p99 ms | Redis p99 ms |"
  echo "|---:|---|---:|---|---:|---:|---:|---:|"
  for p in $MAIN_PIPES; do
    for pair in send:LPUSH send:SET fetch:GET list:LRANGE_100 register:SADD mixed:-; do
      t=${pair%%:*}
      r=${pair#*:}
      prps=$(median parley "$t" "$p" 5)
      pp99=$(median parley "$t" "$p" 6)
      if [ "$r" = "-" ] || [ "$HAVE_REDIS" = 0 ]; then
        rrps="-"; rp99="-"
      else
        rrps=$(median redis "$r" "$p" 5)
        rp99=$(median redis "$r" "$p" 6)
      fi
      echo "| $p | $t | $(fmt_rps "$prps") | $r | $(fmt_rps "$rrps") | $(ratio "$prps" "$rrps") | $(fmt_ms "$pp99") | $(fmt_ms "$rp99") |"
    done
  done
}

# The paired tests with one load generator for both (redis-load for Redis).
same_generator_table() {
  local p t prps pp99 rrps rp99
  echo "| pipeline | test | Parley req/s | Redis req/s | ratio | Parley p99 ms | Redis p99 ms |"
  echo "|---:|---|---:|---:|---:|---:|---:|"
  for p in $MAIN_PIPES; do
    for t in send fetch list register; do
      prps=$(median parley "$t" "$p" 5)
      pp99=$(median parley "$t" "$p" 6)
      rrps=$(median redis-load "$t" "$p" 5)
      rp99=$(median redis-load "$t" "$p" 6)
      echo "| $p | $t | $(fmt_rps "$prps") | $(fmt_rps "$rrps") | $(ratio "$prps" "$rrps") | $(fmt_ms "$pp99") | $(fmt_ms "$rp99") |"
    done
  done
}

# -------------------------------------------------------------------- TLS ---
# A throwaway CA and a certificate for 127.0.0.1 signed by it, both EC P-256,
# in $TMP/tls. False (with openssl's output on stderr) when they cannot be made.
make_certs() {
  local d=$TMP/tls
  mkdir -p "$d"
  if ! {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=compare-redis CA" \
      -keyout "$d/ca.key" -out "$d/ca.pem" &&
      openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=127.0.0.1" \
        -keyout "$d/server.key" -out "$d/server.csr" &&
      printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >"$d/ext.cnf" &&
      openssl x509 -req -in "$d/server.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" -CAcreateserial -days 2 \
        -extfile "$d/ext.cnf" -out "$d/server.pem"
  } >"$TMP/openssl.log" 2>&1; then
    note "compare-redis: making the certificates failed:"; cat "$TMP/openssl.log" >&2
    return 1
  fi
}

# The paired tests over TLS, at pipeline 1 and 16, into $TMP/tls.txt.
tls_part() {
  local d=$TMP/tls run p
  if ! "$PARLEYD" --help 2>/dev/null | grep -q -- --tls-port; then
    FAILED=1; note "compare-redis: $PARLEYD has no --tls-port: no TLS figures"; return
  fi
  if ! command -v openssl >/dev/null || ! make_certs; then
    FAILED=1; note "compare-redis: no openssl command or no certificates: no TLS figures"; return
  fi
  RESULTS=$TMP/tls.txt
  : >"$RESULTS"
  PB_EXTRA=(--tls --cacert "$d/ca.pem")
  RB_EXTRA=(--tls --cacert "$d/ca.pem")
  REDIS_TLS=(--tls-cert-file "$d/server.pem" --tls-key-file "$d/server.key" --tls-ca-cert-file "$d/ca.pem"
             --tls-auth-clients no)
  for run in $(seq 1 "$RUNS"); do
    note "TLS run $run/$RUNS ..."
    start_parley --no-plain --tls-port "$(free_port)" --tls-cert "$d/server.pem" --tls-key "$d/server.key"
    [ "$HAVE_REDIS" = 1 ] && start_redis
    for p in $MAIN_PIPES; do pair_runs "$p" "$run"; done
    check_and_stop "$HAVE_REDIS"
  done
  PB_EXTRA=(); RB_EXTRA=(); REDIS_TLS=()
  echo
  echo "Over TLS (the same EC P-256 certificate for both servers, checked by both clients): $CLIENTS clients,"
  echo "$VALUE-byte values, $(requests_at 1) requests per test at pipeline 1 and $(requests_at 16) at pipeline 16, connections"
  echo "opened before the timing starts, median of $RUNS run(s)"
  echo
  pair_table
  RESULTS=$TMP/results.txt
}

# ---------------------------------------------------------------- ceiling ---
# ceiling_pair PIPELINE RUN TEST NAME [CEILING_NAME]: TEST on parleyd (as NAME)
# and on the ceiling (as CEILING_NAME, default "ceiling") one right after the
# other, the ceiling first in even runs: how fast this machine is moves from
# second to second, and a pair sees the same machine.
ceiling_pair() {
  if [ $(($2 % 2)) -eq 0 ]; then parley_run "$1" "$2" "$3" "${5:-ceiling}" "$CEILING_PORT"; fi
  parley_run "$1" "$2" "$3" "$4"
  if [ $(($2 % 2)) -eq 1 ]; then parley_run "$1" "$2" "$3" "${5:-ceiling}" "$CEILING_PORT"; fi
}

# paired_ratio NAME CEILING_NAME TEST PIPELINE: the median over the runs of
# NAME's requests/s over the ceiling's in the same pair.
paired_ratio() {
  awk -v S="$1" -v C="$2" -v T="$3" -v P="$4" '$2 == T && $3 == P && $1 == S { s[$4] = $5 }
    $2 == T && $3 == P && $1 == C { c[$4] = $5 }
    END { for (r in s) if ((r in c) && c[r] > 0) print s[r] / c[r] }' "$RESULTS" |
    middle | awk '{ if ($1 == "-") print "-"; else printf "%.2f", $1 }'
}

# parleyd and parley-ceiling side by side, one after the other at each depth
# of each run so that drift hits both, into $TMP/ceiling.txt; then send on
# parleyd --data-dir --fsync everysec, against the same ceiling figures.
ceiling_part() {
  local run p t prps crps
  if [ ! -x "$CEILING" ]; then
    FAILED=1; note "compare-redis: $CEILING not found: no ceiling figures"; return
  fi
  RESULTS=$TMP/ceiling.txt
  : >"$RESULTS"
  for run in $(seq 1 "$RUNS"); do
    note "ceiling run $run/$RUNS ..."
    start_parley
    start_ceiling
    for p in 1 16 64; do
      for t in send fetch list register; do
        ceiling_pair "$p" "$run" "$t" parley
      done
    done
    check_and_stop 0
    rm -rf "$TMP/ceiling-data"
    start_parley --data-dir "$TMP/ceiling-data" --fsync everysec
    for p in 1 16 64; do
      ceiling_pair "$p" "$run" send everysec ceiling-everysec
    done
    check_and_stop 0
    check_alive parley-ceiling "$CEILING_PID"
    stop_pid "$CEILING_PID"
  done
  echo
  echo "Against the ceiling (parley-ceiling: one thread that answers every frame and does nothing else),"
  echo "the same parley-bench runs, $CLIENTS clients, $VALUE-byte values, median of $RUNS run(s)"
  echo
  echo "| test | pipeline | Parley req/s | ceiling req/s | ratio | paired ratio | Parley p99 ms | ceiling p99 ms |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|"
  for t in send fetch list register; do
    for p in 1 16 64; do
      prps=$(median parley "$t" "$p" 5)
      crps=$(median ceiling "$t" "$p" 5)
      echo "| $t | $p | $(fmt_rps "$prps") | $(fmt_rps "$crps") | $(ratio "$prps" "$crps") | $(paired_ratio parley ceiling "$t" "$p") |" \
        "$(fmt_ms "$(median parley "$t" "$p" 6)") | $(fmt_ms "$(median ceiling "$t" "$p" 6)") |"
    done
  done
  for p in 1 16 64; do
    prps=$(median everysec send "$p" 5)
    crps=$(median ceiling-everysec send "$p" 5)
    echo "| send, --fsync everysec | $p | $(fmt_rps "$prps") | $(fmt_rps "$crps") | $(ratio "$prps" "$crps") | $(paired_ratio everysec ceiling-everysec send "$p") |" \
      "$(fmt_ms "$(median everysec send "$p" 6)") | $(fmt_ms "$(median ceiling-everysec send "$p" 6)") |"
  done
  echo
  echo "ratio: of the medians; paired ratio: the median of each run's ratio, Parley against the ceiling run"
  echo "right before or after it (which one goes first alternates from run to run). p99: the median over"
  echo "the runs; the ceiling's is what the load generator and the loopback add to any server's tail."
  RESULTS=$TMP/results.txt
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
if [ "$ONLY" = ceiling ]; then
  ceiling_part
  finish
fi
if [ "$ONLY" = tls ]; then
  MAIN_PIPES="1 16"
  tls_part
  finish
fi
if [ "$ONLY" = fanout ]; then
  fanout_part
  echo
  echo "(fan-out runs took ${fan_elapsed}s)"
  finish
fi

MAIN_PIPES="1 16"
CHART_PIPES="1 4 16 64"
started=$(date +%s)
for run in $(seq 1 "$RUNS"); do
  note "run $run/$RUNS ..."
  start_parley
  [ "$HAVE_REDIS" = 1 ] && start_redis
  for p in $CHART_PIPES; do
    if [[ " $MAIN_PIPES " == *" $p "* ]]; then
      pair_runs "$p" "$run"
    else
      parley_run "$p" "$run" send,fetch
      # GET reads the key that the SET of pipeline 1 wrote in this run.
      [ "$HAVE_REDIS" = 1 ] && redis_run "$p" "$run" lpush,get
    fi
  done
  check_and_stop "$HAVE_REDIS"
done

echo
echo "Parley vs Redis: $CLIENTS clients, $VALUE-byte values, $(requests_at 1) requests per test at pipeline 1 and"
echo "$(requests_at 16) at pipeline 16 (the same for both servers), median of $RUNS run(s)"
echo
pair_table
if [ "$HAVE_RLOAD" = 1 ]; then
  echo
  echo "The same pairs with one load generator: Redis asked by redis-load (parley-bench's connections,"
  echo "pipelining and timing over Redis's protocol: LPUSH, GET, LRANGE 0 99 of 100, SADD of fresh members),"
  echo "in the same runs"
  echo
  same_generator_table
fi

# ------------------------------------------------------------------ chart ---
DAT=$OUT/throughput-vs-pipeline.dat
{
  echo "# requests/s (median of $RUNS run(s)), $CLIENTS clients, $VALUE-byte values, $REQUESTS requests x max(1, pipeline/4)"
  echo "# pipeline parley_send redis_lpush parley_fetch redis_get"
  for p in $CHART_PIPES; do
    echo "$p $(median parley send "$p" 5) $(median redis LPUSH "$p" 5) $(median parley fetch "$p" 5) $(median redis GET "$p" 5)"
  done
} >"$DAT"
echo
echo "Throughput against pipeline depth (requests/s, medians):"
echo
echo "| pipeline | Parley send | Redis LPUSH | Parley fetch | Redis GET |"
echo "|---:|---:|---:|---:|---:|"
grep -v '^#' "$DAT" | while read -r p a b c d; do
  echo "| $p | $(fmt_rps "$a") | $(fmt_rps "$b") | $(fmt_rps "$c") | $(fmt_rps "$d") |"
done
if [ "$HAVE_GNUPLOT" = 1 ]; then
  gnuplot -e "datafile='$DAT'; outfile='$OUT/throughput-vs-pipeline.png'" "$ROOT/bench/plot.gp"
  note "chart: $OUT/throughput-vs-pipeline.png"
fi
elapsed=$(( $(date +%s) - started ))

# ----------------------------------------------------------------- memory ---
echo
echo "Memory: $FILL messages of $VALUE bytes (Parley: send to one chat; Redis: LPUSH to one list)"
echo
echo "| server | RSS empty MiB | RSS filled MiB | growth bytes/message |"
echo "|---|---:|---:|---:|"
per_msg() { awk -v a="$1" -v b="$2" -v n="$FILL" 'BEGIN { printf "%.0f", (b - a) * 1024 / n }'; }

# Sends $FILL messages to one chat of the parleyd started last.
fill_parley() {
  if ! bounded "$PBENCH" --port "$PARLEY_PORT" -t send -c "$CLIENTS" -n "$FILL" -P 16 -d "$VALUE" -q >/dev/null 2>"$TMP/fill.err"; then
    FAILED=1
    note "compare-redis: filling parleyd failed:"; cat "$TMP/fill.err" >&2
  fi
  check_alive parleyd "$PARLEY_PID"
}

# check_llen N: fails the run unless the list of the redis-server started last holds N elements.
check_llen() {
  local len
  len=$(timeout 10 redis-cli -h 127.0.0.1 -p "$REDIS_PORT" llen mylist 2>/dev/null || echo "?")
  if [ "$len" != "$1" ]; then
    FAILED=1
    note "compare-redis: the Redis list holds $len elements, not $1"
  fi
}

# Pushes $FILL values onto one list of the redis-server started last.
fill_redis() {
  bounded redis-benchmark -h 127.0.0.1 -p "$REDIS_PORT" -t lpush -c "$CLIENTS" -n "$FILL" -P 16 -d "$VALUE" -q \
    >/dev/null 2>&1 || FAILED=1
  check_alive redis-server "$REDIS_PID"
  check_llen "$FILL"
}

r_full="-"
start_parley
p_empty=$(rss_kib "$PARLEY_PID")
fill_parley
p_full=$(rss_kib "$PARLEY_PID" 2>/dev/null || echo 0)
echo "| parleyd | $(mib "$p_empty") | $(mib "$p_full") | $(per_msg "$p_empty" "$p_full") |"
stop_pid "$PARLEY_PID"

if [ "$HAVE_REDIS" = 1 ]; then
  start_redis
  r_empty=$(rss_kib "$REDIS_PID")
  fill_redis
  r_full=$(rss_kib "$REDIS_PID" 2>/dev/null || echo 0)
  echo "| redis-server | $(mib "$r_empty") | $(mib "$r_full") | $(per_msg "$r_empty" "$r_full") |"
  stop_pid "$REDIS_PID"
  echo
  echo "Filled RSS ratio Parley/Redis: $(ratio "$p_full" "$r_full")"
fi

# ------------------------------------------------------------- durability ---
# Parley with a data dir (--fsync everysec / always) against Redis with an
# append-only file at the same fsync policy, and both without persistence
# ("none"), one after the other in each run so that drift hits them all. The
# data dirs share one scratch folder, hence one file system.
DATA=$TMP/data
PCLI=$BUILD/parley
MODES="none everysec always"
DURABLE=0
if "$PARLEYD" --help 2>/dev/null | grep -q -- --data-dir && [ -x "$PCLI" ]; then
  DURABLE=1
else
  note "compare-redis: $PARLEYD has no --data-dir (or $PCLI is missing): no durable Parley figures"
fi
fresh_data() { rm -rf "$DATA"; mkdir -p "$DATA/parley" "$DATA/redis"; }
for mode in $MODES; do : >"$TMP/durable-$mode.txt"; done
started=$(date +%s)
for run in $(seq 1 "$RUNS"); do
  note "durable run $run/$RUNS ..."
  for mode in $MODES; do
    RESULTS=$TMP/durable-$mode.txt
    fresh_data
    if [ "$mode" = none ] || [ "$DURABLE" = 1 ]; then
      if [ "$mode" = none ]; then start_parley; else start_parley --data-dir "$DATA/parley" --fsync "$mode"; fi
      for p in $MAIN_PIPES; do parley_run "$p" "$run" send; done
      check_alive parleyd "$PARLEY_PID"
      stop_pid "$PARLEY_PID"
    fi
    if [ "$HAVE_REDIS" = 1 ]; then
      if [ "$mode" = none ]; then start_redis; else start_redis --dir "$DATA/redis" --appendonly yes --appendfsync "$mode"; fi
      for p in $MAIN_PIPES; do redis_run "$p" "$run" lpush; done
      check_alive redis-server "$REDIS_PID"
      stop_pid "$REDIS_PID"
    fi
  done
done
RESULTS=$TMP/results.txt
durable_elapsed=$(( $(date +%s) - started ))
dmedian() { RESULTS=$TMP/durable-$1.txt median "${@:2}"; }

echo
echo "Durable writes: send against LPUSH, $CLIENTS clients, $VALUE-byte values, $(requests_at 1) requests at pipeline 1"
echo "and $(requests_at 16) at 16, median of $RUNS run(s). Parley: --data-dir DIR --fsync MODE; Redis: --appendonly yes"
echo "--appendfsync MODE; none: no data dir, no append-only file. \"/ none\": against the same server with none."
echo
echo "| pipeline | fsync | Parley send req/s | Redis LPUSH req/s | ratio | Parley / none | Redis / none | Parley p99 ms | Redis p99 ms |"
echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|"
for p in $MAIN_PIPES; do
  pnone=$(dmedian none parley send "$p" 5)
  rnone=$(dmedian none redis LPUSH "$p" 5)
  for mode in $MODES; do
    prps=$(dmedian "$mode" parley send "$p" 5)
    rrps=$(dmedian "$mode" redis LPUSH "$p" 5)
    echo "| $p | $mode | $(fmt_rps "$prps") | $(fmt_rps "$rrps") | $(ratio "$prps" "$rrps") | $(ratio "$prps" "$pnone") |" \
      "$(ratio "$rrps" "$rnone") | $(fmt_ms "$(dmedian "$mode" parley send "$p" 6)") | $(fmt_ms "$(dmedian "$mode" redis LPUSH "$p" 6)") |"
  done
done

# Restart: fill with everysec, stop with SIGTERM, then time from the launch on
# the same data until the server answers.
now() { date +%s.%N; }
secs_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
disk_mib() { du -sk "$1" | awk '{ printf "%.1f", $1 / 1024 }'; }
files_in() { find "$1" -type f -printf '%P %s\n' | sort | awk '{ printf "%s%s %.1f MiB", sep, $1, $2 / 1048576; sep = ", " }'; }
pcli() { timeout 10 "$PCLI" --port "$PARLEY_PORT" "$@" >/dev/null 2>&1; }
p_disk="-"; p_stop="-"; p_restart="-"; p_rss="-"; p_files="-"
r_disk="-"; r_stop="-"; r_restart="-"; r_rss="-"; r_files="-"
if [ "$DURABLE" = 1 ]; then
  fresh_data
  start_parley --data-dir "$DATA/parley" --fsync everysec
  fill_parley
  # One last write after the fill, which the restarted server must list.
  if ! { pcli register restart && pcli create restart restart && pcli send restart restart last; }; then
    FAILED=1; note "compare-redis: writing the restart chat failed"
  fi
  t=$(now); stop_pid "$PARLEY_PID"; p_stop=$(secs_since "$t")
  p_disk=$(disk_mib "$DATA/parley"); p_files=$(files_in "$DATA/parley")
  PARLEY_PORT=$(free_port)
  t=$(now)
  "$PARLEYD" --port "$PARLEY_PORT" --max-conns-per-ip 0 --data-dir "$DATA/parley" --fsync everysec >/dev/null 2>"$TMP/parleyd.err" &
  PARLEY_PID=$!
  PIDS+=("$PARLEY_PID")
  # It listens once its data is replayed; the CLI's exit status 3 means unreachable.
  rc=3; deadline=$((SECONDS + CLIENT_LIMIT))
  while [ "$rc" = 3 ] && [ "$SECONDS" -lt "$deadline" ] && kill -0 "$PARLEY_PID" 2>/dev/null; do
    rc=0; pcli list restart || rc=$?
    [ "$rc" = 3 ] && sleep 0.01
  done
  if [ "$rc" = 0 ]; then
    p_restart=$(secs_since "$t"); p_rss=$(rss_kib "$PARLEY_PID")
  else
    FAILED=1
    note "compare-redis: the restarted parleyd did not list the last chat written (exit $rc):"; cat "$TMP/parleyd.err" >&2
  fi
  stop_pid "$PARLEY_PID"
fi
if [ "$HAVE_REDIS" = 1 ]; then
  fresh_data
  aof=(--dir "$DATA/redis" --appendonly yes --appendfsync everysec)
  start_redis "${aof[@]}"
  fill_redis
  t=$(now); stop_pid "$REDIS_PID"; r_stop=$(secs_since "$t")
  r_disk=$(disk_mib "$DATA/redis"); r_files=$(files_in "$DATA/redis")
  t=$(now)
  start_redis "${aof[@]}"
  info=""; deadline=$((SECONDS + CLIENT_LIMIT))
  while [[ $info != *$'\n'loading:0* ]] && [ "$SECONDS" -lt "$deadline" ] && kill -0 "$REDIS_PID" 2>/dev/null; do
    info=$(timeout 10 redis-cli -h 127.0.0.1 -p "$REDIS_PORT" info persistence 2>/dev/null || true)
    [[ $info == *$'\n'loading:0* ]] || sleep 0.01
  done
  if [[ $info == *$'\n'loading:0* ]]; then
    r_restart=$(secs_since "$t"); r_rss=$(rss_kib "$REDIS_PID")
    check_llen "$FILL"
  else
    FAILED=1
    note "compare-redis: the restarted redis-server did not finish loading:"; tail -n 5 "$TMP/redis.log" >&2
  fi
  stop_pid "$REDIS_PID"
fi

echo
echo "Restart with $FILL messages of $VALUE bytes: filled as above with --fsync / --appendfsync everysec, stopped by"
echo "SIGTERM, then seconds from launch until the server answers (Parley: a listing; Redis: INFO persistence, loading:0)"
echo
echo "| server | on disk MiB | stop s | restart s | RSS after restart MiB | RSS without persistence MiB |"
echo "|---|---:|---:|---:|---:|---:|"
echo "| parleyd | $p_disk | $p_stop | $p_restart | $(mib "$p_rss") | $(mib "$p_full") |"
echo "| redis-server | $r_disk | $r_stop | $r_restart | $(mib "$r_rss") | $(mib "$r_full") |"
echo
echo "Files: parleyd: $p_files; redis-server: $r_files"

tls_part

ceiling_part

echo
fanout_part

echo
echo "(throughput runs took ${elapsed}s, durable runs ${durable_elapsed}s, fan-out runs ${fan_elapsed}s)"
finish
