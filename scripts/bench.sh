#!/usr/bin/env bash
# Builds the benchmarks (release) and prints their table: the module's own cost per request
# by path and book size, its exchange calls against the least each path needs, and the time
# to protection over loopback HTTP. Arguments go to Google Benchmark (--benchmark_filter=...).
# Then the Python binding's cost per Call (bench/python_binding.py).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh release stoploss_bench stoploss_python >&2
build/release/bench/stoploss_bench --benchmark_counters_tabular=true "$@"
python=$(sed -n 's/^STOPLOSS_PYTHON:INTERNAL=//p' build/release/CMakeCache.txt)
PYTHONPATH=build/release/python "$python" bench/python_binding.py
