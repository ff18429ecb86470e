#!/usr/bin/env bash
# Builds the Debian package and the Python wheel into dist/: the package from the release build
# (the command, the libraries with headers and CMake files, the extension for Debian's python3,
# the guard's service unit and an example config), the wheel for the python3 first on PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh release stoploss_app stoploss_python >&2
mkdir -p dist
cpack --config build/release/CPackConfig.cmake -B build/release/cpack >/dev/null
mv build/release/cpack/stoploss_*.deb dist/
scripts/build_wheel.sh dist
ls -1 dist/stoploss_*.deb dist/stoploss-*.whl
