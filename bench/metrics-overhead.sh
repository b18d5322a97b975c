#!/usr/bin/env bash
# What counting and serving metrics cost: the same load against parleyd with
# --metrics-port (scraped once a second, as a monitoring system would),
# without it, and optionally against a build from before metrics existed
# (BASE=DIR: its build directory), alternating, RUNS times each, on fresh
# servers. Prints the median requests per second of every test and variant.
#   [BASE=DIR] [REQUESTS16=N] [REQUESTS1=N] bench/metrics-overhead.sh [--runs N] [--build DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=5
BUILD=build
while [ $# -gt 0 ]; do
  case $1 in
    --runs) RUNS=$2; shift 2 ;;
    --build) BUILD=$2; shift 2 ;;
    *) echo "usage: $0 [--runs N] [--build DIR]" >&2; exit 2 ;;
  esac
done
BENCH=$BUILD/parley-bench
# Requests per test (REQUESTS16 at pipeline 16, REQUESTS1 at 1): a few seconds each.
LOADS=("-P 16 -n ${REQUESTS16:-2000000} -t send,fetch,register" "-P 1 -n ${REQUESTS1:-300000} -t send,fetch,register")
VARIANTS=(with without)
[ -n "${BASE:-}" ] && VARIANTS+=(base)
scratch=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$scratch"' EXIT

run_one() {  # variant load -> csv lines "variant,load,test,rps"
  local variant=$1 load=$2 server=$BUILD/parleyd args=(--port 0)
  [ "$variant" = base ] && server=$BASE/parleyd
  [ "$variant" = with ] && args+=(--metrics-port 0)
  "$server" "${args[@]}" >/dev/null 2>"$scratch/err" &
  local pid=$!
  for _ in $(seq 100); do grep -q "listening on" "$scratch/err" && break; sleep 0.05; done
  local port; port=$(grep -o 'listening on 0.0.0.0:[0-9]*' "$scratch/err" | cut -d: -f2)
  local scraper=
  if [ "$variant" = with ]; then
    for _ in $(seq 100); do grep -q "/metrics" "$scratch/err" && break; sleep 0.05; done
    local url; url=$(grep -o 'http://[^ ]*/metrics' "$scratch/err")
    (while :; do curl -s -o /dev/null "$url" || true; sleep 1; done) & scraper=$!
  fi
  if [ -z "$port" ]; then
    echo "$variant: the server did not start: $(cat "$scratch/err")" >&2
  else
    # shellcheck disable=SC2086
    if ! "$BENCH" --port "$port" $load --csv >"$scratch/csv"; then
      echo "$variant: parley-bench failed (run left out)" >&2
      : >"$scratch/csv"
    fi
    tail -n +2 "$scratch/csv" | while IFS=, read -r test rps _; do
      echo "$variant,${load%% -n*},${test//\"/},${rps//\"/}"
    done
    # The server's CPU time (user + system) per request of the three tests, in microseconds.
    if [ -s "$scratch/csv" ]; then
      local ticks requests; ticks=$(awk '{print $14 + $15}' "/proc/$pid/stat")
      requests=$(awk '{for (i = 1; i < NF; i++) if ($i == "-n") print 3 * $(i + 1)}' <<<"$load")
      echo "$variant,${load%% -n*},cpu-us/req,$(awk -v t="$ticks" -v r="$requests" -v hz="$(getconf CLK_TCK)" \
        'BEGIN {printf "%.3f", t * 1e6 / hz / r}')"
    fi
  fi
  if [ -n "$scraper" ]; then kill "$scraper" 2>/dev/null || true; fi
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# The order of the variants flips from run to run, so that neither always
# runs first (on a fresh page cache, after an idle spell).
for ((r = 1; r <= RUNS; r++)); do
  order=("${VARIANTS[@]}")
  if ((r % 2 == 0)); then
    order=()
    for ((i = ${#VARIANTS[@]} - 1; i >= 0; i--)); do order+=("${VARIANTS[$i]}"); done
  fi
  for load in "${LOADS[@]}"; do
    for variant in "${order[@]}"; do run_one "$variant" "$load"; done
  done
done | tee "$scratch/all.csv" >&2
echo "medians over $RUNS runs (requests per second; cpu-us/req: the server's CPU microseconds per request):"
python3 - "$scratch/all.csv" <<'PY'
import csv, statistics, sys
rows = {}
for variant, load, test, rps in csv.reader(open(sys.argv[1])):
    rows.setdefault((load, test), {}).setdefault(variant, []).append(float(rps))
for (load, test), by in rows.items():
    med = {v: statistics.median(x) for v, x in by.items()}
    line = f"{load:6} {test:10}" + "".join(f" {v}={m:10.{3 if test.startswith('cpu') else 0}f}" for v, m in med.items())
    if "without" in med and "with" in med: line += f"  with/without {med['with'] / med['without']:.3f}"
    if "base" in med and "without" in med: line += f"  without/base {med['without'] / med['base']:.3f}"
    print(line)
PY
