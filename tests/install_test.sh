#!/usr/bin/env bash
# Installs the built project into a scratch prefix and builds a host program against it with
# find_package(StopLoss).
# Usage: install_test.sh BUILD_DIR [CXX_FLAGS]
set -euo pipefail
build_dir=$1
cxx_flags=${2:-}  # the project's own flags, so that a sanitizer build links
tests=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build_dir" --prefix "$scratch/prefix" >/dev/null
cmake -S "$tests/install_host" -B "$scratch/host" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/prefix" \
  -DCMAKE_CXX_FLAGS="$cxx_flags" >/dev/null
cmake --build "$scratch/host" >/dev/null
"$scratch/host/host"
