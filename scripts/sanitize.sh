#!/usr/bin/env bash
# Builds the package with AddressSanitizer and UndefinedBehaviorSanitizer
# (QUORVEX_SANITIZE=1) into .venv-asan and runs the tests with the ASan runtime
# preloaded. Python's allocator is switched to malloc so that ASan sees every block;
# the allocated-block part of the leak checks is then blind, the rest still runs.
#   QUORVEX_PYTHON=/path/python  interpreter to use (default: CPython 3.9, found as the tests find it)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib.sh
python=${QUORVEX_PYTHON:-$(find_python 3.9)}
[ -n "$python" ] || { echo "error: CPython 3.9 not found" >&2; exit 1; }
export PIP_DISABLE_PIP_VERSION_CHECK=1
[ -x .venv-asan/bin/python ] || "$python" -m venv .venv-asan
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-asan.XXXXXX")
trap 'rm -rf "$work"' EXIT
snapshot_tree "$work/src"
QUORVEX_SANITIZE=1 QUORVEX_WERROR=1 install_package .venv-asan "$work/src" "$work/wheels"
cd .venv-asan  # not the source tree, which would shadow the installed package
LD_PRELOAD=$(gcc -print-file-name=libasan.so) PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
    bin/pytest -q --rootdir "$root" "$root/tests" "$@"
