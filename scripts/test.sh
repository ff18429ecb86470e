#!/usr/bin/env bash
# Builds the project and runs the whole test suite: debug build by default, or the
# address and undefined-behaviour sanitizer build with "scripts/test.sh sanitize".
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-debug}
scripts/setup.sh "$preset"
ctest --preset "$preset"
