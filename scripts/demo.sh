#!/usr/bin/env bash
# Installs the package with its chart extra into .venv-demo and runs demo.py: the bundled
# sample service is started on a free loopback port, the five data sets and the login
# guard are shown, and the quorvex command exports a CSV and draws a chart into
# build/demo/FPT-weekly.png.
#   QUORVEX_PYTHON=/path/python  interpreter to use (default: python3)
set -euo pipefail
cd "$(dirname "$0")/.."
python=${QUORVEX_PYTHON:-python3}
export PIP_DISABLE_PIP_VERSION_CHECK=1
if [ -x .venv-demo/bin/python ]; then
    # Dependencies are there; rebuild the package from the current sources.
    .venv-demo/bin/python -m pip install -q ".[chart]"
    .venv-demo/bin/python -m pip install -q --no-deps --force-reinstall .
else
    "$python" -m venv .venv-demo
    .venv-demo/bin/python -m pip install -q --upgrade pip
    .venv-demo/bin/python -m pip install -q ".[chart]"
fi
exec .venv-demo/bin/python demo.py
