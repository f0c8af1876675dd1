#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds everything and runs every test: the default build (static programs,
# warnings as errors), then the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then each fuzz target for 30 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --workflow --preset default
cmake --workflow --preset asan
# Smoke run of the fuzz targets on copies of their starting corpora (clang).
bash fuzz/run.sh 30
