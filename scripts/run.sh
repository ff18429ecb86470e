#!/usr/bin/env bash
# Builds the project, installs the Python extension (`import stoploss`) for Debian's python3 and,
# when the python3 first on PATH is another interpreter (pyenv, a venv), for that one too, from a
# wheel built for it; then runs the stoploss command: by default the demo, a trailing stop on the
# embedded exchange; with arguments, those of the command (scripts/run.sh demo --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh release stoploss_app stoploss_python >&2
if cmake --install build/release --component python >/dev/null; then
  echo "run.sh: import stoploss: $(cat build/release/install_manifest_python.txt) (Debian's python3)" >&2
else
  echo "run.sh: the Python extension was not installed (run as root to install it)" >&2
fi
same_interpreter=$(python3 -c 'import os, sys
print(os.path.realpath(sys.executable) == os.path.realpath("/usr/bin/python3"))')
if [ "$same_interpreter" != True ]; then
  echo "run.sh: building the wheel for $(command -v python3) (minutes the first time)" >&2
  rm -rf build/wheel-dist
  scripts/build_wheel.sh build/wheel-dist
  if python3 -m pip install -q --root-user-action=ignore --force-reinstall --no-deps --no-index build/wheel-dist/*.whl; then
    echo "run.sh: import stoploss: $(cd / && python3 -c 'import stoploss, sys
print(stoploss.__file__, f"({sys.executable})")')" >&2
  else
    echo "run.sh: the wheel in build/wheel-dist was not installed for $(command -v python3)" >&2
  fi
fi
if (($#)); then
  exec build/release/app/stoploss "$@"
fi
exec build/release/app/stoploss demo
