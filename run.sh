#!/usr/bin/env bash
# Builds what is missing and starts the window on the simulated device: pelorus-devsim plays
# one board after another on a pseudo-terminal behind a link, and PELORUS_COM1 names that
# link, so " COM-1 " (the port selected at start) reaches it. Type an address, press START.
# With --pool, the window draws its addresses from a fresh address pool (a SQLite file in the
# temporary folder, 00-1A-2B-3C-00-00 ... 00-1A-2B-3C-00-FF) instead: just press START.
# Usage: ./run.sh [--pool]
set -euo pipefail
cd "$(dirname "$0")"

pool=
case "${1:-}" in
  "") ;;
  --pool) pool=yes ;;
  *) echo "usage: ./run.sh [--pool]" >&2; exit 2 ;;
esac

./setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target pelorus pelorus-devsim pelorus-pool

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
