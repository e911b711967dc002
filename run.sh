#!/usr/bin/env bash
# Builds what is missing and starts the window on the simulated device: pelorus-devsim plays
# one board after another on a pseudo-terminal behind a link, and PELORUS_COM1 names that
# link, so " COM-1 " (the port selected at start) reaches it. Type an address, press START.
# With --pool, the window draws its addresses from a fresh address pool (a SQLite file in the
# temporary folder, 00-1A-2B-3C-00-00 ... 00-1A-2B-3C-00-FF) instead: just press START.
# With --rack N, no window: a rack station programs boards on N simulated ports from such a
# pool and prints its events (a JSON line per board on stdout, a line for people on stderr)
# until Ctrl-C.
# Usage: ./run.sh [--pool | --rack N]
set -euo pipefail
cd "$(dirname "$0")"

usage() {
  echo "usage: ./run.sh [--pool | --rack N]" >&2
  exit 2
}
pool=
rack=
case "${1:-}" in
  "") ;;
  --pool) pool=yes ;;
  --rack)
    rack=${2:-}
    [[ "$rack" =~ ^[1-9][0-9]*$ ]] && [ "$rack" -le 64 ] || usage
    ;;
  *) usage ;;
esac

./setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target pelorus pelorus-devsim pelorus-pool pelorus-station

if [ -n "$rack" ]; then
  workdir=$(mktemp -d)
  sims=()
  cleanup() {
    for sim in "${sims[@]}"; do
      kill "$sim" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$workdir"
  }
  trap cleanup EXIT
  build/bin/pelorus-pool create "$workdir/line.db" --first 00-1A-2B-3C-00-00 \
    --last 00-1A-2B-3C-FF-FF
  ports=()
  for k in $(seq 1 "$rack"); do
    build/bin/pelorus-devsim --link "$workdir/P$k" --any-address --quiet --seed "$k" \
      --serial-base $((k * 10000)) >/dev/null 2>&1 &
    sims+=($!)
    ports+=(--port "P$k=$workdir/P$k")
  done
  # The station waits for a port whose bench is not there yet, and starts it once it is.
  XDG_STATE_HOME="$workdir/state" build/bin/pelorus-station --pool "$workdir/line.db" \
    --station-prefix rack "${ports[@]}" || true
  build/bin/pelorus-pool status "$workdir/line.db"
  exit 0
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set), and the" >&2
  echo "pelorus window needs one. Run it from a desktop session, over ssh -X, or inside a" >&2
  echo "virtual display (apt-get install xvfb): xvfb-run ./run.sh" >&2
  exit 1
fi

workdir=$(mktemp -d)
sim=
cleanup() {
  if [ -n "$sim" ]; then
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
  fi
  rm -rf "$workdir"
}
trap cleanup EXIT

# The simulator's first line ("pty /dev/pts/N") comes once its link exists; its later lines,
# one per device, go on to this terminal. The first board powers on when START opens the port.
sim_options=(--link "$workdir/COM1" --wait-open)
window_options=()
if [ -n "$pool" ]; then
  build/bin/pelorus-pool create "$workdir/line.db" --first 00-1A-2B-3C-00-00 \
    --last 00-1A-2B-3C-00-FF
  sim_options+=(--any-address)
  window_options+=(--pool "$workdir/line.db")
fi
exec 3< <(exec build/bin/pelorus-devsim "${sim_options[@]}")
sim=$!
if ! read -r first <&3; then
  echo "run.sh: the simulated device did not start" >&2
  exit 1
fi
echo "pelorus-devsim: $first, linked as $workdir/COM1"
cat <&3 &

export PELORUS_COM1="$workdir/COM1"
build/bin/pelorus "${window_options[@]}"
if [ -n "$pool" ]; then
  build/bin/pelorus-pool status "$workdir/line.db"
fi
