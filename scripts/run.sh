#!/usr/bin/env bash
# Sets up, builds and runs the converter: probes a generated phone-like clip and converts it to AVI.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
build/bin/qv-make-fixtures build/fixtures >/dev/null
build/bin/quorvendale-cli probe build/fixtures/h263_amr.3gp
build/bin/quorvendale-cli convert -o build/converted build/fixtures/h263_amr.3gp
