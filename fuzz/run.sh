#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 30) on a copy of its starting corpus in fuzz/corpus/<target>/, then prints
# one line of figures per target. Exits non-zero on the first target that
# breaks a rule, crashes, leaks or times out; the input that did it is kept in
# the work directory it names.
#   bash fuzz/run.sh [SECONDS]
# KESTRIX_FUZZ_BUILD names the build directory (default build/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=${KESTRIX_FUZZ_BUILD:-build/fuzz}
targets=(responder read_until format)

CC=clang CXX=clang++ cmake -S . -B "$build" -DKESTRIX_FUZZ=ON -DKESTRIX_TESTS=OFF \
    -DKESTRIX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}" >/dev/null

work=$(mktemp -d)
status=0
total=0
for t in "${targets[@]}"; do
    mkdir -p "$work/$t/corpus" "$work/$t/found"
    cp fuzz/corpus/"$t"/* "$work/$t/corpus/"
    log="$work/$t/log"
    if "$build/fuzz/fuzz_$t" "$work/$t/corpus" -max_total_time="$seconds" -max_len=8192 \
            -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$work/$t/found/" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        edges=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' "$log" | tail -n 1)
        echo "fuzz_$t: $runs executions in $seconds s, coverage $edges edges, crashes: 0"
        total=$((total + runs))
    else
        echo "fuzz_$t: FAILED; input and log kept in $work/$t" >&2
        grep -E 'rule broken|ERROR|SUMMARY|Test unit written' "$log" >&2 || tail -n 20 "$log" >&2
        status=1
    fi
done
echo "all targets: $total executions, crashes: $([ $status -eq 0 ] && echo 0 || echo 'see above')"
[ $status -eq 0 ] && rm -rf "$work"
exit $status
