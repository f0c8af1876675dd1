#!/usr/bin/env bash
# Builds everything and runs every test: the default build (static programs,
# warnings as errors), then the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --workflow --preset default
cmake --workflow --preset asan
