# Shared steps of the test scripts; sourced from the repository root.

# Copies the work tree into directory $1: tracked files and new ones that git does not
# ignore, so no in-place .so and no build/ directory. Builds from the copy compile every
# source afresh with their own flags and write nothing into the tree, which other builds
# may be using at the same time.
snapshot_tree() {
    local dest=$1
    mkdir -p "$dest"
    list_sources() {
        if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
            git ls-files -z --cached --others --exclude-standard |
                while IFS= read -r -d '' file; do
                    if [ -e "$file" ]; then printf '%s\0' "$file"; fi
                done
        else
            find . \( -name .git -o -name build -o -name '.venv*' -o -name __pycache__ \) -prune \
                -o -type f ! -name '*.so' ! -name '*.o' -print0
        fi
    }
    list_sources | tar --null -T - -cf - | tar -C "$dest" -xf - || {
        echo "error: could not copy the work tree" >&2
        return 1
    }
}

# The checkout these scripts belong to (they source this file from its root).
quorvex_checkout=$PWD

# The CPythons that this machine's C library may be too old for: they can run from a
# Debian unstable root made by scripts/newest-root.sh, through chroot.
NEWEST_PYTHONS="3.14 3.15"

# The root scripts/newest-root.sh makes and the scripts look in when nothing else is named.
newest_root_default() {
    echo "${QUORVEX_NEWEST_ROOT:-/opt/quorvex-sid-root}"
}

# Succeeds when directory $1 is a complete root with CPython $2 (default: every newest
# one) and its headers.
newest_root_ready() {
    local dir=$1 version
    for version in ${2:-$NEWEST_PYTHONS}; do
        [ -x "$dir/usr/bin/python$version" ] && [ -d "$dir/usr/include/python$version" ] || return 1
    done
}

# Prints the interpreter for CPython version $1 (for example 3.12), or nothing:
# $QUORVEX_PYTHON_3_12 when set, else the one in the root $QUORVEX_ROOT_3_12 when set,
# else pyenv's, else ~/.pyenv/versions/3.12.*, else python3.12 on the PATH, else the one
# in the default root of scripts/newest-root.sh. One in a root is printed with the root
# in front (/opt/quorvex-sid-root/usr/bin/python3.14): it runs only through
# in_newest_root, which find_root names.
find_python() {
    local version=$1 override root prefix
    override="QUORVEX_PYTHON_${version//./_}"
    if [ -n "${!override:-}" ]; then
        echo "${!override}"
        return
    fi
    root="QUORVEX_ROOT_${version//./_}"
    if [ -n "${!root:-}" ]; then
        newest_root_ready "${!root}" "$version" && echo "${!root}/usr/bin/python$version"
        return
    fi
    find_host_python "$version" && return
    root=$(newest_root_default)
    if newest_root_ready "$root" "$version"; then echo "$root/usr/bin/python$version"; fi
}

# Prints the root that find_python's interpreter for version $1 runs in, or nothing when
# it runs on this machine.
find_root() {
    local version=$1 python dir override
    python=$(find_python "$version")
    override="QUORVEX_ROOT_${version//./_}"
    for dir in "${!override:-}" "$(newest_root_default)"; do
        if [ -n "$dir" ] && [ "$python" = "$dir/usr/bin/python$version" ]; then
            echo "$dir"
            return
        fi
    done
}

# Runs command $2... inside root $1 through chroot, in the current directory, and returns
# its status. It runs in a mount namespace of its own, in which the root gets /proc, /dev
# and, at the same paths as here, this checkout, the temporary directory and the
# directories of $NEWEST_ROOT_BINDS (space-separated): the mounts vanish with the
# command, however it ends, and other runs in the same root do not see them. Without
# root privileges it uses sudo and runs the command as the calling user.
in_newest_root() {
    local dir=$1 sudo=() user=()
    shift
    if [ "$(id -u)" != 0 ]; then
        sudo=(sudo)
        user=(--userspec="$(id -u):$(id -g)")
    fi
    local binds=("$quorvex_checkout" "${TMPDIR:-/tmp}")
    # shellcheck disable=SC2206  # a list of directories, split on spaces
    binds+=(${NEWEST_ROOT_BINDS:-})
    "${sudo[@]}" unshare --mount --propagation private -- /bin/sh -euc '
        dir=$1 count=$3
        shift 3
        mount -t proc proc "$dir/proc"
        mount --rbind /dev "$dir/dev"
        while [ "$count" -gt 0 ]; do
            mkdir -p "$dir$1"
            mount --bind "$1" "$dir$1"
            shift
            count=$((count - 1))
        done
        exec chroot "$@"
    ' sh "$dir" - "${#binds[@]}" "${binds[@]}" "${user[@]}" "$dir" \
        /usr/bin/env PATH=/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin \
        /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$PWD" "$@"
}

# Prints the interpreter for CPython version $1 found on this machine (pyenv's, else
# ~/.pyenv/versions/X.Y.*, else pythonX.Y on the PATH) and succeeds, or fails quietly.
find_host_python() {
    local version=$1 prefix
    if command -v pyenv >/dev/null 2>&1 && prefix=$(pyenv prefix "$version" 2>/dev/null); then
        [ -x "$prefix/bin/python$version" ] && { echo "$prefix/bin/python$version"; return; }
    fi
    for prefix in "$HOME"/.pyenv/versions/"$version".*; do
        [ -x "$prefix/bin/python$version" ] && { echo "$prefix/bin/python$version"; return; }
    done
    command -v "python$version" 2>/dev/null
}

# The CPython versions the package supports, in the order the scripts try them.
SUPPORTED_PYTHONS="3.9 3.10 3.11 3.12 3.13 3.14 3.15"

# Installs wheel $2 into virtual environment $1 with the test dependencies, upgrading
# pip and the dependencies to the newest the interpreter takes, or to the pins of the
# constraints file $3 when one is given. The second install replaces an installed copy
# of the same version number, which the first one would keep.
install_wheel() {
    local venv=$1 wheel=$2 constraints=${3:-}
    local pins=()
    [ -z "$constraints" ] || pins=(--constraint "$constraints")
    "$venv/bin/python" -m pip install -q --upgrade pip &&
        "$venv/bin/python" -m pip install -q --upgrade "${pins[@]}" "$wheel[test]" &&
        "$venv/bin/python" -m pip install -q --no-deps --force-reinstall "$wheel"
}

# Builds a wheel from source directory $2 into directory $3 (compiler flags come from
# the QUORVEX_* environment) and installs it into virtual environment $1 as
# install_wheel does ($4: optional constraints file).
install_package() {
    local venv=$1 src=$2 wheels=$3 wheel
    "$venv/bin/python" -m pip install -q --upgrade pip &&
        "$venv/bin/python" -m pip wheel -q --no-deps -w "$wheels" "$src" &&
        wheel=$(echo "$wheels"/quorvex-*.whl) && [ -f "$wheel" ] &&
        install_wheel "$venv" "$wheel" "${4:-}"
}

# Prints a pip constraints file that pins each runtime dependency of wheel $1 at the
# floor its metadata declares ("pandas>=2.0" gives "pandas==2.0"); $2 is the Python to
# read it with (default: python3).
floor_constraints() {
    "${2:-python3}" - "$1" <<'PY'
import re, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    metadata = next(name for name in wheel.namelist() if name.endswith(".dist-info/METADATA"))
    for line in wheel.read(metadata).decode().splitlines():
        floor = re.fullmatch(r"Requires-Dist: ([A-Za-z0-9_.-]+) ?>= ?([^,;\s]+)", line.strip())
        if floor:
            print(f"{floor[1]}=={floor[2]}")
PY
}

# Fills directory $1 with links to every program on the PATH except C and C++ compilers
# and preprocessors, for runs that prove nothing needs one: PATH=$1 then.
link_path_without_compilers() {
    local dir=$1 entry program name entries
    mkdir -p "$dir"
    IFS=: read -ra entries <<< "$PATH"
    for entry in "${entries[@]}"; do
        [ -d "$entry" ] || continue
        for program in "$entry"/*; do
            name=${program##*/}
            case $name in
                cc | c++ | cpp | gcc | g++ | clang | clang++ | icc | icpx | cpp-[0-9]* | \
                    gcc-[0-9]* | g++-[0-9]* | clang-[0-9]* | clang++-[0-9]* | clang-cpp* | \
                    *-linux-gnu-gcc* | *-linux-gnu-g++* | *-linux-gnu-cpp* | *-linux-gnu-c++) continue ;;
            esac
            if [ -x "$program" ] && [ ! -e "$dir/$name" ]; then ln -s "$program" "$dir/$name"; fi
        done
    done
}

# Fails with a message naming them when the programs that interpreter $1 builds extensions
# with (its sysconfig's CC, CXX, LDSHARED and LDCXXSHARED, which may name a compiler by its
# full path and so pass by the PATH) or the usual compiler names can be run from the PATH.
check_no_compiler() {
    local found
    found=$("$1" - <<'PY'
import os, shutil, sysconfig
names = {"cc", "c++", "gcc", "g++", "clang", "clang++"}
for var in ("CC", "CXX", "LDSHARED", "LDCXXSHARED"):
    words = (sysconfig.get_config_var(var) or "").split()
    while words and os.path.basename(words[0]) in ("ccache", "sccache", "distcc", "env"):
        words = words[1:]
    if words:
        names.add(words[0])
for name in sorted(names):
    program = shutil.which(name)
    if program:
        print(f"{name} ({os.path.realpath(program)})")
PY
    ) || return 1
    if [ -n "$found" ]; then
        echo "error: a compiler can still be run: ${found//$'\n'/, }" >&2
        return 1
    fi
}
