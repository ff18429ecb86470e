#!/usr/bin/env bash
# Installs the Debian packages the project needs (only those missing), then configures and
# builds one preset: debug, release or sanitize (default release), all targets or the ones
# named after it.
set -euo pipefail
preset=${1:-release}
shift $(($# > 0))
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ clang-format nlohmann-json3-dev libfmt-dev libspdlog-dev
          libcli11-dev libgtest-dev libgmock-dev libbenchmark-dev
          libssl-dev libboost-dev pybind11-dev python3-dev python3-pytest
          libtomlplusplus-dev libsystemd-dev pkg-config
          dpkg-dev file python3-venv python3-pip python3-wheel-whl)
scripts/install_packages.sh "${packages[@]}"

# CI treats warnings as errors.
werror=$([ "${CI:-}" = true ] && echo ON || echo OFF)
cmake --preset "$preset" -DSTOPLOSS_WARNINGS_AS_ERRORS="$werror" >/dev/null
targets=()
(($#)) && targets=(--target "$@")
if [ -t 2 ]; then
  # On a terminal the build shows its progress (a first build takes minutes).
  echo "Building the $preset configuration" >&2
  cmake --build --preset "$preset" "${targets[@]}" >&2
else
  log="build/$preset/build.log"
  if ! cmake --build --preset "$preset" "${targets[@]}" >"$log" 2>&1; then
    cat "$log"
    exit 1
  fi
fi
