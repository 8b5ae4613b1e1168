#!/usr/bin/env bash
# Runs the test suite on every supported CPython this machine has (3.9 is required; 3.10
# to 3.13 run when present), each in its own virtual environment under .venv-test/ with
# the package installed by `pip install .` and the newest dependencies pip resolves for
# that interpreter. Extra arguments go to pytest.
#
#   QUORVEX_PYTHONS="3.9 3.12"       versions to run (default: 3.9 3.10 3.11 3.12 3.13)
#   QUORVEX_PYTHON_3_12=/path/python interpreter to use for one version
set -uo pipefail
cd "$(dirname "$0")/.."

versions=${QUORVEX_PYTHONS:-"3.9 3.10 3.11 3.12 3.13"}
export QUORVEX_WERROR=${QUORVEX_WERROR:-1}
export PIP_DISABLE_PIP_VERSION_CHECK=1

# Prints the interpreter for version $1, or nothing.
find_python() {
    local version=$1 override prefix
    override="QUORVEX_PYTHON_${version//./_}"
    if [ -n "${!override:-}" ]; then
        echo "${!override}"
        return
    fi
    if command -v pyenv >/dev/null 2>&1 && prefix=$(pyenv prefix "$version" 2>/dev/null); then
        [ -x "$prefix/bin/python$version" ] && { echo "$prefix/bin/python$version"; return; }
    fi
    for prefix in "$HOME"/.pyenv/versions/"$version".*; do
        [ -x "$prefix/bin/python$version" ] && { echo "$prefix/bin/python$version"; return; }
    done
    command -v "python$version" 2>/dev/null || true
}

passed=()
failed=()
skipped=()
for version in $versions; do
    python=$(find_python "$version")
    if [ -z "$python" ]; then
        if [ "$version" = "3.9" ]; then
            echo "error: CPython 3.9 is required and was not found" >&2
            failed+=("$version(missing)")
        else
            echo "== CPython $version: not found, skipped"
            skipped+=("$version")
        fi
        continue
    fi
    venv=.venv-test/$version
    echo "== CPython $version ($python)"
    if [ ! -x "$venv/bin/python" ]; then
        "$python" -m venv "$venv" || { failed+=("$version"); continue; }
    fi
    if ! { "$venv/bin/python" -m pip install -q --upgrade pip &&
           "$venv/bin/python" -m pip install -q --upgrade ".[test]" &&
           "$venv/bin/python" -m pip install -q --no-deps --force-reinstall . ; }; then
        echo "error: installing the package on CPython $version failed" >&2
        failed+=("$version")
        continue
    fi
    "$venv/bin/python" -c 'import pandas, numpy, requests, sys; print("   python", sys.version.split()[0], "pandas", pandas.__version__, "numpy", numpy.__version__, "requests", requests.__version__)'
    # The pytest script, not `python -m pytest`: the source tree must not shadow the
    # installed package.
    if "$venv/bin/pytest" -q "$@"; then
        passed+=("$version")
    else
        failed+=("$version")
    fi
done

echo
echo "passed on: ${passed[*]:-none}"
[ ${#skipped[@]} -gt 0 ] && echo "skipped (not installed): ${skipped[*]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED on: ${failed[*]}"
    exit 1
fi
