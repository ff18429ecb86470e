#!/usr/bin/env bash
# Builds the project and runs the stoploss command: by default the demo, a trailing stop on the
# embedded exchange; with arguments, those of the command (scripts/run.sh demo --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh release stoploss_app >&2
if (($#)); then
  exec build/release/app/stoploss "$@"
fi
exec build/release/app/stoploss demo
