#!/usr/bin/env bash
# Sets up, builds and runs every test: once optimised, once under the address and undefined
# behaviour sanitizers, and the threaded tests under the thread sanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)
for preset in default asan tsan; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
