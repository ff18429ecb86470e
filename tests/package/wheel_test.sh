#!/usr/bin/env bash
# Builds the wheel for the python3 first on PATH (scripts/build_wheel.sh), installs it into a fresh
# virtual environment of that interpreter and imports it there.
# Usage: wheel_test.sh VERSION
set -euo pipefail
version=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$(dirname "$0")/../../scripts/build_wheel.sh" "$scratch/dist"
python3 -m venv "$scratch/venv"
"$scratch/venv/bin/pip" install -q --no-index "$scratch"/dist/stoploss-"$version"-*.whl
cd "$scratch"
imported=$(venv/bin/python -c 'import stoploss, sys
print(stoploss.__version__, stoploss.__file__.startswith(sys.prefix), callable(stoploss.Call))')
[ "$imported" = "$version True True" ] || { echo "wheel_test: imported as: $imported" >&2; exit 1; }
