#!/usr/bin/env bash
# Benchmark of the compiled functions against plain-Python renditions (bench/bench.py) on
# CPython 3.9 and 3.12, each in its own virtual environment under .venv-bench/ with the
# package installed from a wheel of the work tree and the newest dependencies pip
# resolves. Needs valgrind. Prints one table per version; exits 1 when a case's
# instruction ratio is over its target (with --margin M: more than M above its floor).
#
#   bash bench/run.sh                  full run: instructions, times, real-pandas scenario
#   bash bench/run.sh --short          instruction counts only, fewer calls
#   bash bench/run.sh --short --margin 0.09   the same, gated on ratio - floor (CI)
#   bash bench/run.sh match_book       only the cases whose names contain the word
#   QUORVEX_PYTHONS="3.9 3.12"         versions to run (this is the default)
#   QUORVEX_WHEELS=dist                install the wheels that scripts/wheels.sh left in
#                                      this directory instead of building (the same
#                                      compiler flags; only their debug symbols are gone)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export PIP_DISABLE_PIP_VERSION_CHECK=1

. scripts/lib.sh
if ! command -v valgrind >/dev/null 2>&1; then
    echo "error: the benchmark counts instructions with valgrind, which is not installed" >&2
    exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
wheel_dir=
if [ -n "${QUORVEX_WHEELS:-}" ]; then
    wheel_dir=$(cd "$QUORVEX_WHEELS" && pwd) || exit 2
else
    snapshot_tree "$work/src" || exit 1
fi

status=0
for version in ${QUORVEX_PYTHONS:-3.9 3.12}; do
    python=$(find_python "$version")
    if [ -z "$python" ]; then
        echo "error: CPython $version not found" >&2
        status=1
        continue
    fi
    venv=$root/.venv-bench/$version
    if [ ! -x "$venv/bin/python" ]; then
        "$python" -m venv "$venv" || { status=1; continue; }
    fi
    if [ -n "$wheel_dir" ]; then
        tag=cp${version//./}
        wheel=$(ls "$wheel_dir"/quorvex-*-"$tag"-"$tag"-*.whl 2>/dev/null | tail -1)
        [ -n "$wheel" ] || { echo "error: no $tag wheel in $wheel_dir" >&2; status=1; continue; }
        installed=(install_wheel "$venv" "$wheel")
    else
        installed=(install_package "$venv" "$work/src" "$work/wheels/$version")
    fi
    if ! "${installed[@]}" >/dev/null; then
        echo "error: installing the package on CPython $version failed" >&2
        status=1
        continue
    fi
    "$venv/bin/python" "$root/bench/bench.py" --json "$root/.venv-bench/$version.json" "$@" ||
        status=1
done
exit $status
