#!/usr/bin/env bash
# Builds pelorus and runs every test. Usage: ./test.sh
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
jobs=$(nproc)

cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"
