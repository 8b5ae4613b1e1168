#!/usr/bin/env bash
# What type checkers and editors see of the installed package (tests/test_typing.py):
# mypy's stubtest over the stubs of the compiled modules, a typed script under
# `mypy --strict`, deliberately wrong calls reported, and jedi completing and documenting
# a returned table. Runs on one CPython in .venv-typing, with the checkers pinned in
# tests/typing/requirements.txt.
#
#   QUORVEX_TYPING_PYTHON=3.12       version to run on (default: 3.12); 3.14 and 3.15 run
#                                    in the root of scripts/newest-root.sh when they
#                                    are found only there (QUORVEX_ROOT_3_14=DIR)
#   QUORVEX_WHEELS=dist              install the wheel that scripts/wheels.sh left there
#                                    instead of building one from the work tree
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib.sh
export PIP_DISABLE_PIP_VERSION_CHECK=1
version=${QUORVEX_TYPING_PYTHON:-3.12}
python=$(find_python "$version")
[ -n "$python" ] || { echo "error: CPython $version not found" >&2; exit 1; }
newest_root=$(find_root "$version")
if [ -n "$newest_root" ]; then
    # Again inside the root, where the interpreter runs; the checkout is at the same path.
    NEWEST_ROOT_BINDS=${QUORVEX_WHEELS:+$(cd "$QUORVEX_WHEELS" && pwd)} in_newest_root "$newest_root" \
        env "QUORVEX_PYTHON_${version//./_}=/usr/bin/python$version" bash scripts/typecheck.sh "$@"
    exit
fi

venv=$root/.venv-typing-$version
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-typing.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ -n "${QUORVEX_WHEELS:-}" ]; then
    tag=cp${version//./}
    wheel=$(ls "$QUORVEX_WHEELS"/quorvex-*-"$tag"-"$tag"-*.whl | tail -1)
    install_wheel "$venv" "$(cd "$(dirname "$wheel")" && pwd)/$(basename "$wheel")"
else
    snapshot_tree "$work/src"
    install_package "$venv" "$work/src" "$work/wheels"
fi
"$venv/bin/python" -m pip install -q -r tests/typing/requirements.txt
# From the environment's directory: the source tree would shadow the installed package.
cd "$venv"
"$venv/bin/pytest" -q --rootdir "$root" "$root/tests/test_typing.py" "$@"
