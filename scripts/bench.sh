#!/usr/bin/env bash
# Builds the benchmarks (release) and prints their table: the module's own cost per request
# by path and book size, its exchange calls against the least each path needs, and the time
# to protection over loopback HTTP. Arguments go to Google Benchmark (--benchmark_filter=...).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh release stoploss_bench >&2
exec build/release/bench/stoploss_bench --benchmark_counters_tabular=true "$@"
