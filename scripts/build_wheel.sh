#!/usr/bin/env bash
# Builds the Python extension as a wheel into OUT_DIR for PYTHON (default: the python3 first on
# PATH), offline: pip in a build environment of that interpreter, with the interpreter's own
# setuptools and Debian's wheel (python3-wheel-whl); the build runs the project's CMake (setup.py).
# Usage: build_wheel.sh OUT_DIR [PYTHON]
set -euo pipefail
out=$(realpath -m "$1")
python=${2:-python3}
cd "$(dirname "$0")/.."
# One build environment per interpreter (a pyenv shim names whichever is chosen).
interpreter=$("$python" -c 'import sys; print(sys.executable)')
env=build/wheel-env-$(echo "$interpreter" | sha1sum | cut -c1-8)
if [ ! -x "$env/bin/pip" ]; then
  "$interpreter" -m venv "$env"
  "$env/bin/pip" install -q --no-index --find-links /usr/share/python-wheels wheel
fi
"$env/bin/pip" wheel -q --no-deps --no-index --no-build-isolation -w "$out" .
