#!/usr/bin/env bash
# Runs the test suite on every supported CPython this machine has (3.9 is required; 3.10
# to 3.15 run when present), each in its own virtual environment under .venv-test/ with
# the package installed from a wheel built from the work tree and the newest dependencies
# pip resolves for that interpreter. Extra arguments go to pytest (paths relative to the
# repository root). A version found only in a root of scripts/newest-root.sh runs there
# through chroot: this script runs again inside the root for that version alone.
#
#   QUORVEX_PYTHONS="3.9 3.12"       versions to run (default: 3.9 to 3.15)
#   QUORVEX_PYTHON_3_12=/path/python interpreter to use for one version
#   QUORVEX_JOBS=2                   run the suites of two versions at once (default 1)
#   QUORVEX_ROOT_3_14=DIR            run one version in this root (made by
#                                    scripts/newest-root.sh); without it 3.14 and 3.15
#                                    run in the default root when it is there
#   QUORVEX_WHEELS=dist              install the wheels that scripts/wheels.sh left in
#                                    this directory (one per version) instead of building
#   QUORVEX_DEPS=floor               pin every runtime dependency at the lowest version
#                                    the package declares (in .venv-test/X.Y-floor)
#   QUORVEX_NO_COMPILER=1            a fresh virtual environment, and no C or C++
#                                    compiler on the PATH while installing and testing
#   QUORVEX_RANDOM_ORDER=1           shuffle the tests (pytest-randomly), printing the seed;
#                                    a number repeats that seed's order
#   QUORVEX_TEST_WORKERS=2           pytest processes per version (pytest-xdist; 1: one,
#                                    without xdist)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

. scripts/lib.sh
versions=${QUORVEX_PYTHONS:-$SUPPORTED_PYTHONS}
export QUORVEX_WERROR=${QUORVEX_WERROR:-1}
export PIP_DISABLE_PIP_VERSION_CHECK=1
deps=${QUORVEX_DEPS:-newest}
case $deps in
    newest | floor) ;;
    *) echo "error: QUORVEX_DEPS must be newest or floor, not '$deps'" >&2; exit 2 ;;
esac
wheel_dir=
if [ -n "${QUORVEX_WHEELS:-}" ]; then
    wheel_dir=$(cd "$QUORVEX_WHEELS" && pwd) || exit 2
fi
no_compiler=${QUORVEX_NO_COMPILER:-0}
host_path=$PATH

# Unless prebuilt wheels are given, wheels are built from a snapshot of the work tree,
# once per version (inside a root, from the snapshot of the run outside: QUORVEX_SNAPSHOT).
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
src=${QUORVEX_SNAPSHOT:-$work/src}
[ -n "$wheel_dir" ] || [ -n "${QUORVEX_SNAPSHOT:-}" ] || snapshot_tree "$src" || exit 1
if [ "$no_compiler" = 1 ]; then
    link_path_without_compilers "$work/bin"
    export PATH=$work/bin
fi

# pytest runs from the virtual environment's directory, not the source tree: `python -c`
# puts the working directory first on sys.path, so a test's subprocess would otherwise
# import the source tree's quorvex instead of the installed one. Arguments that name
# existing paths are made absolute; without any, the whole suite runs.
pytest_args=()
have_path=0
for arg in "$@"; do
    if [[ $arg != -* && $arg != /* && -e $root/${arg%%::*} ]]; then
        pytest_args+=("$root/$arg")
        have_path=1
    else
        [[ $arg == /* && -e ${arg%%::*} ]] && have_path=1
        pytest_args+=("$arg")
    fi
done
[ $have_path = 1 ] || pytest_args+=("$root/tests")

# Installs the package for $version into $venv: the given wheel or one built now, with
# the newest dependencies or those pinned at the package's floors.
install_for_version() {
    local wheel constraints=
    if [ -n "$wheel_dir" ]; then
        local tag=cp${version//./}
        wheel=$(ls "$wheel_dir"/quorvex-*-"$tag"-"$tag"-*.whl 2>/dev/null | tail -1)
        [ -n "$wheel" ] || { echo "error: no $tag wheel in $wheel_dir" >&2; return 1; }
        echo "   wheel $(basename "$wheel")"
    else
        # A copy of the snapshot per version: setuptools builds inside the source tree
        # (build/), and two versions built at once would share it.
        local tree=$work/src-$version
        rm -rf "$tree" && cp -a "$src" "$tree" || return 1
        if [ "$deps" = newest ]; then
            install_package "$venv" "$tree" "$work/wheels/$version"
            return
        fi
        "$venv/bin/python" -m pip wheel -q --no-deps -w "$work/wheels/$version" "$tree" &&
            wheel=$(echo "$work/wheels/$version"/quorvex-*.whl) || return 1
    fi
    if [ "$deps" = floor ]; then
        constraints=$work/floors-$version.txt
        floor_constraints "$wheel" "$venv/bin/python" > "$constraints" || return 1
        echo "   pinned at the floors: $(tr '\n' ' ' < "$constraints")"
    fi
    install_wheel "$venv" "$wheel" "$constraints"
}

# Runs the suite on one version; its last line on fd 3 is "<result> <version>: <timing>"
# with <result> passed, failed or skipped.
run_version() {
    local version=$1 python newest_root venv started installed
    shift  # the rest are the script's own arguments, for a run inside the root
    python=$(find_python "$version")
    if [ -z "$python" ]; then
        if [ "$version" = "3.9" ]; then
            echo "error: CPython 3.9 is required and was not found" >&2
            echo "failed $version(missing)" >&3
        else
            echo "== CPython $version: not found, skipped"
            echo "skipped $version" >&3
        fi
        return
    fi
    newest_root=$(find_root "$version")
    started=$SECONDS
    if [ -n "$newest_root" ]; then
        echo "== CPython $version: in the root $newest_root"
        # The same checkout, temporary directory and wheel directory are mounted at the
        # same paths inside, so the run there takes the same arguments; the settings it
        # needs are given on its command line (sudo would clear the environment).
        if PATH=$host_path NEWEST_ROOT_BINDS=$wheel_dir in_newest_root "$newest_root" \
            env QUORVEX_PYTHONS="$version" QUORVEX_JOBS=1 "QUORVEX_PYTHON_${version//./_}=/usr/bin/python$version" \
            QUORVEX_NO_COMPILER="$no_compiler" QUORVEX_DEPS="$deps" QUORVEX_TEST_WORKERS="${QUORVEX_TEST_WORKERS:-2}" \
            QUORVEX_RANDOM_ORDER="${QUORVEX_RANDOM_ORDER:-0}" \
            QUORVEX_WHEELS="$wheel_dir" QUORVEX_SNAPSHOT="$([ -n "$wheel_dir" ] || echo "$work/src")" \
            bash scripts/test.sh "$@"; then
            echo "passed $version: in the root, $((SECONDS - started))s in all" >&3
        else
            echo "failed $version: in the root, $((SECONDS - started))s in all" >&3
        fi
        return
    fi
    venv=$root/.venv-test/$version
    [ "$deps" = newest ] || venv=$venv-$deps
    [ "$no_compiler" != 1 ] || venv=$work/venv-$version
    echo "== CPython $version ($python)"
    if [ ! -x "$venv/bin/python" ]; then
        "$python" -m venv "$venv" || { echo "failed $version: no virtual environment" >&3; return; }
    fi
    if [ "$no_compiler" = 1 ] && ! check_no_compiler "$venv/bin/python"; then
        echo "failed $version: a compiler is on the PATH" >&3
        return
    fi
    if ! install_for_version; then
        echo "error: installing the package on CPython $version failed" >&2
        echo "failed $version: installing failed" >&3
        return
    fi
    installed=$SECONDS
    "$venv/bin/python" -c 'import pandas, numpy, requests, sys; print("   python", sys.version.split()[0], "pandas", pandas.__version__, "numpy", numpy.__version__, "requests", requests.__version__)'
    # The pytest script, not `python -m pytest`, for the same reason as the directory; -rfEs
    # ends the run with every failure, error and the reason of every skipped test.
    # The tests run in file order unless QUORVEX_RANDOM_ORDER is set: 1 shuffles the files
    # and the tests in them (pytest-randomly) with a new seed, which is printed; a number
    # repeats the order of that seed.
    local result=passed order=(-p no:randomly) seed=${QUORVEX_RANDOM_ORDER:-0}
    if [ "$seed" != 0 ]; then
        [ "$seed" != 1 ] || seed=$((RANDOM * 32768 + RANDOM))
        echo "   random order: QUORVEX_RANDOM_ORDER=$seed"
        order=("--randomly-seed=$seed")
    fi
    # Most tests wait on servers and subprocesses: the workers share out the files (each
    # file on one worker, so that its module-wide fixtures run once).
    local workers=${QUORVEX_TEST_WORKERS:-2} spread=()
    [ "$workers" = 1 ] || spread=(-n "$workers" --dist loadfile)
    (cd "$venv" && "$venv/bin/pytest" -q -rfEs --rootdir "$root" "${order[@]}" "${spread[@]}" "${pytest_args[@]}") ||
        result=failed
    echo "$result $version: install $((installed - started))s, tests $((SECONDS - installed))s" >&3
}

# QUORVEX_JOBS=N runs the suites of N versions at once, each told in one piece when it
# ends (the runs mostly wait: on servers, time limits and subprocesses).
jobs=${QUORVEX_JOBS:-1}
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "error: QUORVEX_JOBS must be a positive whole number, not '$jobs'" >&2; exit 2; }
[[ ${QUORVEX_TEST_WORKERS:-2} =~ ^[1-9][0-9]*$ ]] || { echo "error: QUORVEX_TEST_WORKERS must be a positive whole number" >&2; exit 2; }
results=$work/results
: > "$results"
if [ "$jobs" = 1 ]; then
    for version in $versions; do
        run_version "$version" "$@" 3>> "$results"
    done
else
    running=0
    for version in $versions; do
        if [ "$running" -ge "$jobs" ]; then
            wait -n || true
            running=$((running - 1))
        fi
        (run_version "$version" "$@" > "$work/log-$version" 2>&1 3>> "$results"
            cat "$work/log-$version") &
        running=$((running + 1))
    done
    wait
fi

passed=()
failed=()
skipped=()
timings=()
while read -r result rest; do
    version=${rest%%:*}
    case $result in
        passed) passed+=("$version"); timings+=("$rest") ;;
        failed) failed+=("$version"); [[ $rest == *:* ]] && timings+=("$rest") ;;
        skipped) skipped+=("$version") ;;
    esac
done < "$results"

echo
for timing in "${timings[@]}"; do echo "time $timing"; done
echo "passed on: ${passed[*]:-none}"
[ ${#skipped[@]} -gt 0 ] && echo "skipped (not installed): ${skipped[*]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED on: ${failed[*]}"
    exit 1
fi
