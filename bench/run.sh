#!/usr/bin/env bash
# Builds the release preset and runs every benchmark, then prints one table:
# figure | goal | measured | verdict.
# Usage: bench/run.sh [--build-dir DIR] [core] [flood] [latency] [idle] [devices] [line] [rack]
#                    [pool] [serve] [campaign]
#   --build-dir DIR  build a Release tree in DIR instead of the preset's build-release/
#   names            run only these benchmarks (default: all but campaign, in this order); pool
#                    and serve run against a throwaway PostgreSQL server (pg_virtualenv) unless
#                    PGHOST is set
#   serve            the line's web view; the page is watched in headless Chromium (Debian's
#                    chromium; its driver, puppeteer-core, is put in BUILD/browser by npm)
#   rack             pelorus-station, no window: boards per minute on 32 simulated ports and on
#                    one, 32 idle ports' CPU and memory, answers beside a flooding port (about
#                    two minutes)
#   campaign         the long fault campaign (about 40 minutes, so never by default): four
#                    windows and a rack station of eight ports on SQLite, then on PostgreSQL,
#                    1,000 boards each (at most 25 minutes each), with every fault kind; rows
#                    for the boards, the faults and the violations
# Exit status: 0 when every benchmark ran (the verdicts are in the table), 1 when one could
# not run, 2 for a usage error. Takes about sixteen minutes (the pool three and a half of them,
# serve five); the window runs offscreen.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=
selected=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=${2:?"--build-dir needs a directory"}; shift 2 ;;
    core | flood | latency | idle | devices | line | rack | pool | serve | campaign) selected+=("$1"); shift ;;
    *) echo "usage: bench/run.sh [--build-dir DIR] [core|flood|latency|idle|devices|line|rack|pool|serve|campaign]..." >&2
       exit 2 ;;
  esac
done
[ ${#selected[@]} -gt 0 ] || selected=(core flood latency idle devices line rack pool serve)

if [ -z "$build_dir" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release
  build_dir=build-release
else
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELORUS_BUILD_TESTS=OFF \
    >/dev/null
  cmake --build "$build_dir"
fi
bin=$build_dir/bin
for name in "${selected[@]}"; do
  program=$bin/pelorus-bench-$name
  [ "$name" = core ] && program=$bin/pelorus-bench-dialogue
  [ "$name" = campaign ] && program=$bin/pelorus-campaign
  if [ ! -x "$program" ]; then
    echo "bench/run.sh: $program was not built (Google Benchmark, Qt 6 Test and the" >&2
    echo "window are needed; see the configure output)" >&2
    exit 1
  fi
done

export QT_QPA_PLATFORM=offscreen
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Console text through OnPortData with surroundings that do nothing.
run_core() {
  "$bin/pelorus-bench-dialogue" --benchmark_filter='^BM_OnPortData$' --benchmark_format=csv |
    awk -F, '$1 == "\"BM_OnPortData\"" {
      rate = $6 / 1e6
      printf "ROW|Core: console text through OnPortData, null surroundings|≥ 100 MB/s|%.0f MB/s|%s\n",
             rate, (rate >= 100 ? "met" : "MISSED")
    }'
}

# The window benchmarks print details, and "ROW|..." lines for the table, on stdout.
run_window() {
  "$bin/pelorus-bench-$1"
}

# Each figure on its own first, then the ones with a pool on a throwaway PostgreSQL server. A
# server just made is busy for some seconds (its first checkpoints, the statistics), and would
# be measured too: the measurement starts once it has settled.
with_postgres() {
  if [ -n "${PGHOST:-}" ] || [ -n "${PGPORT:-}" ]; then
    "$@"
  else
    pg_virtualenv -t sh -c 'sleep 10 && exec "$@"' sh "$@"
  fi
}

run_latency() {
  "$bin/pelorus-bench-latency" none sqlite stall || return 1
  with_postgres "$bin/pelorus-bench-latency" postgres
}

run_pool() {
  "$bin/pelorus-bench-pool" sqlite || return 1
  with_postgres "$bin/pelorus-bench-pool" postgres
}

run_serve() {
  "$bin/pelorus-bench-serve" sqlite || return 1
  with_postgres "$bin/pelorus-bench-serve" postgres
}

# The long fault campaign on each store; the summary's TOTAL line becomes the rows. Zero
# violations is the goal.
campaign_rows() {
  awk -v store="$1" '{ print } /^  fault / { sub(/^  fault +/, ""); n = $NF; $NF = ""; sub(/ +$/, ""); faults = faults sprintf("%s%s %d", sep, $0, n); sep = ", " }
    /^TOTAL/ { split($0, f, /[ =]/)
      printf "ROW|Campaign, %s: boards, faults|≥ 1,000 boards, every fault kind|%s boards, %s faults (%s)|%s\n", store, f[3], f[5], faults, (f[3] >= 1000 ? "met" : "MISSED")
      printf "ROW|Campaign, %s: violations (two boards, off record, held by none, outside the pool, read back but not verified, END over 5 s, refused by itself)|0|%s|%s\n", store, f[7], (f[7] == 0 ? "met" : "MISSED") }'
}

# Exit status 1 is a campaign with violations, which the rows show.
run_campaign() {
  local campaign=$bin/pelorus-campaign
  { "$campaign" --store sqlite --seed 1 --windows 4 --rack-ports 8 --boards 1000 --seconds 1500 \
      --out "$work/campaign-sqlite" || [ $? = 1 ]; } | campaign_rows SQLite
  { with_postgres "$campaign" --store postgres --seed 2 --windows 4 --rack-ports 8 --boards 1000 \
      --seconds 1500 --out "$work/campaign-postgres" || [ $? = 1 ]; } | campaign_rows PostgreSQL
}

status=0
for name in "${selected[@]}"; do
  echo "== $name"
  runner=run_window
  [ "$name" = core ] && runner=run_core
  [ "$name" = pool ] && runner=run_pool
  [ "$name" = serve ] && runner=run_serve
  [ "$name" = latency ] && runner=run_latency
  [ "$name" = campaign ] && runner=run_campaign
  ran=0
  "$runner" "$name" >"$work/$name.out" 2>"$work/$name.err" && ran=1
  grep -v '^ROW|' "$work/$name.out" || true
  grep '^ROW|' "$work/$name.out" >>"$work/rows" || true
  if [ $ran = 0 ] || ! grep -q '^ROW|' "$work/$name.out"; then
    status=1
    echo "bench/run.sh: the $name benchmark did not finish; what it said on stderr:" >&2
    cat "$work/$name.err" >&2
    grep -q '^ROW|' "$work/$name.out" || echo "ROW|$name|-|did not run|FAILED" >>"$work/rows"
  fi
done

echo
echo "Release build, $(nproc) cores, $(uname -sr); MB = 10^6 bytes"
echo
echo "| figure | goal | measured | verdict |"
echo "|---|---|---|---|"
awk -F'|' '{ printf "| %s | %s | %s | %s |\n", $2, $3, $4, $5 }' "$work/rows"
exit $status
