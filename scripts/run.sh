#!/usr/bin/env bash
# Sets up, builds and runs the converter on a generated sample clip.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
build/bin/qv-make-fixtures build/fixtures >/dev/null
build/bin/quorvendale-cli probe build/fixtures/h263_aac.3gp
