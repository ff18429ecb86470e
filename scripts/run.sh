#!/usr/bin/env bash
# Builds the project, installs the Python extension for the system's Python (`import stoploss`),
# and runs the stoploss command: by default the demo, a trailing stop on the embedded exchange;
# with arguments, those of the command (scripts/run.sh demo --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh release stoploss_app stoploss_python >&2
cmake --install build/release --component python >/dev/null ||
  echo "run.sh: the Python extension was not installed (run as root to install it)" >&2
if (($#)); then
  exec build/release/app/stoploss "$@"
fi
exec build/release/app/stoploss demo
