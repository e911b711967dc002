#!/usr/bin/env bash
# Builds pelorus and runs every test: the normal build, then the Debian package (built,
# installed, run and purged again; as root only), AddressSanitizer+UBSan on every test,
# ThreadSanitizer on the tests labelled "threads", and a bounded libFuzzer run. The address
# pool's PostgreSQL tests run against a throwaway server (pg_virtualenv) that lives as long
# as this script; with PGHOST or PGPORT set, that server is used instead.
# Usage: ./test.sh [quick]     (quick: the normal build and its tests only)
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
if [ -z "${PGHOST:-}" ] && [ -z "${PGPORT:-}" ]; then
  exec pg_virtualenv -t ./test.sh "$@"
fi
jobs=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1

stage() {
  echo
  echo "=== $* ==="
}

stage "build and test (build/)"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"
[ "${1:-}" = quick ] && exit 0

stage "the Debian package (build-package/, installed and purged again)"
if [ "$(id -u)" -eq 0 ]; then
  packaging/check.sh
else
  echo "skipped: installing the package needs root (sudo packaging/check.sh runs it alone)"
fi

stage "AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

stage "ThreadSanitizer (build-tsan/)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs" -L threads

stage "libFuzzer on the console dialogue (build-fuzz/)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
ctest --test-dir build-fuzz -R dialogue_fuzz_run --output-on-failure
