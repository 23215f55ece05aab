#!/usr/bin/env bash
# Sets up, builds and runs every test: once optimised, once under the address and undefined
# behaviour sanitizers, and the threaded tests (label "threads") under the thread sanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)
for preset in default asan; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
# The thread sanitizer build only needs the threaded suites and the media they use.
cmake --preset tsan
threaded=$(ctest --preset tsan -N | sed -n 's/^ *Test *#[0-9]*: *//p' | grep -v '^fixtures\.' | tr '\n' ' ')
cmake --build --preset tsan -j "$jobs" --target qv-make-fixtures $threaded
ctest --preset tsan -j "$jobs"
