#!/usr/bin/env bash
# Builds the fuzz targets in build/fuzz with clang, libFuzzer and the address and
# undefined-behaviour sanitizers, then runs each for a bounded time (default 60 s, or the
# first argument) on a copy of its seed corpus in fuzz/corpus/. Exits non-zero when a target
# found something; its inputs and log are kept in build/fuzz/run/TARGET/.
set -euo pipefail
seconds=${1:-60}
cd "$(dirname "$0")/.."
targets=(scenario_fuzzer record_fuzzer error_body_fuzzer http_answer_fuzzer)

packages=(clang-14 libclang-rt-14-dev)
scripts/install_packages.sh "${packages[@]}"

build=build/fuzz
mkdir -p "$build"
# Only the fuzz executables link libFuzzer's main (fuzz/CMakeLists.txt adds -fsanitize=fuzzer).
flags="-O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined"
flags+=" -fno-sanitize-recover=undefined"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DSTOPLOSS_FUZZ=ON \
  -DBUILD_TESTING=OFF -DCMAKE_CXX_FLAGS="$flags" >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
if [ ! -d "$build/fuzz" ]; then
  echo "fuzz/ is not part of the build: the top CMakeLists.txt must add it when STOPLOSS_FUZZ is ON"
  exit 1
fi
if ! cmake --build "$build" --target "${targets[@]}" >"$build/build.log" 2>&1; then
  cat "$build/build.log"
  exit 1
fi

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
found=0
for target in "${targets[@]}"; do
  work=$build/run/$target
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/findings"
  cp fuzz/corpus/"$target"/* "$work/corpus/"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$work/findings/")
  [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
  # Inputs large and deep enough to pass every bound: documents nested 100k levels (the JSON
  # mutator deepens them), whole answers of megabytes with header blocks over 64 KiB.
  max_len=262144
  [ "$target" = http_answer_fuzzer ] && max_len=4194304
  options+=(-max_len="$max_len")
  status=0
  # A target's scratch files stay in its run folder, even when it dies.
  TMPDIR=$work "$build/fuzz/$target" "${options[@]}" "$work/corpus" >"$work/log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
  shopt -s nullglob
  artifacts=("$work"/findings/*)
  shopt -u nullglob
  if ((status == 0 && ${#artifacts[@]} == 0)); then
    echo "$target: ${runs:-?} executions in ${seconds} s, nothing found"
    continue
  fi
  found=1
  echo "$target: ${runs:-?} executions, FOUND something (exit status $status); log: $work/log"
  grep -m 3 -E 'property broken|^==== |ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' \
    "$work/log" | cut -c1-300 | sed 's/^/  /' || true
  for artifact in "${artifacts[@]}"; do
    echo "  input: $artifact ($(stat -c %s "$artifact") bytes)"
  done
done
exit "$found"
