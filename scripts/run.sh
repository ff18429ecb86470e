#!/usr/bin/env bash
# Builds the project and runs the stoploss command (by default: the bundled example scenario).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh release >&2
if (($#)); then
  exec build/release/app/stoploss "$@"
fi
exec build/release/app/stoploss replay examples/xbtusd_new_stop.json
