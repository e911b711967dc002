#!/usr/bin/env bash
# Builds what is missing and starts the window on the simulated device: pelorus-devsim plays
# one board after another on a pseudo-terminal behind a link, and PELORUS_COM1 names that
# link, so " COM-1 " (the port selected at start) reaches it. Type an address, press START.
# Usage: ./run.sh
set -euo pipefail
cd "$(dirname "$0")"

./setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target pelorus pelorus-devsim

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
exec 3< <(exec build/bin/pelorus-devsim --link "$workdir/COM1" --wait-open)
sim=$!
if ! read -r first <&3; then
  echo "run.sh: the simulated device did not start" >&2
  exit 1
fi
echo "pelorus-devsim: $first, linked as $workdir/COM1"
cat <&3 &

export PELORUS_COM1="$workdir/COM1"
build/bin/pelorus
