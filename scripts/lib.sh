# Shared steps of the test scripts; sourced from the repository root.

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

# Builds a wheel from source directory $2 into directory $3 (compiler flags come from
# the QUORVEX_* environment) and installs it into virtual environment $1 with the test
# dependencies, upgrading pip and the dependencies to the newest the interpreter takes.
# One build; the second install replaces an installed copy of the same version number,
# which the first one would keep.
install_package() {
    local venv=$1 src=$2 wheels=$3 wheel
    "$venv/bin/python" -m pip install -q --upgrade pip &&
        "$venv/bin/python" -m pip wheel -q --no-deps -w "$wheels" "$src" &&
        wheel=$(echo "$wheels"/quorvex-*.whl) && [ -f "$wheel" ] &&
        "$venv/bin/python" -m pip install -q --upgrade "$wheel[test]" &&
        "$venv/bin/python" -m pip install -q --no-deps --force-reinstall "$wheel"
}
