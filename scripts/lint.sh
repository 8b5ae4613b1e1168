#!/usr/bin/env bash
# Checks the house style: C++ against .clang-format, Python with ruff (lint and format).
# The tools are the versions pinned in requirements-lint.txt, installed into .venv-lint/
# on first use (and again when that file changes), so every machine formats alike.
#
#   bash scripts/lint.sh          check only; exits non-zero on any difference or finding
#   bash scripts/lint.sh --fix    apply: reformat C++ and Python, apply ruff's safe fixes
#
#   QUORVEX_PYTHON=/path/python   interpreter that makes .venv-lint (default: python3)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=check
case "${1:-}" in
    "") ;;
    --fix) mode=fix ;;
    *) echo "usage: $0 [--fix]" >&2; exit 2 ;;
esac

venv=.venv-lint
stamp=$venv/requirements-lint.txt
if [ ! -x "$venv/bin/python" ]; then
    "${QUORVEX_PYTHON:-python3}" -m venv "$venv"
fi
if ! cmp -s requirements-lint.txt "$stamp"; then
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/pip" install -q -r requirements-lint.txt
    cp requirements-lint.txt "$stamp"
fi

# The C++ sources that git knows, tracked or new (not the ignored build trees).
mapfile -d '' cxx < <(git ls-files -z --cached --others --exclude-standard -- '*.cpp' '*.h' |
    while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done)

status=0
if [ $mode = fix ]; then
    "$venv/bin/clang-format" -i "${cxx[@]}"
    "$venv/bin/ruff" check --fix --quiet . || status=1
    "$venv/bin/ruff" format --quiet .
else
    echo "== clang-format $("$venv/bin/clang-format" --version | grep -o '[0-9][0-9.]*' | head -1): ${#cxx[@]} C++ files"
    "$venv/bin/clang-format" --dry-run --Werror "${cxx[@]}" || status=1
    echo "== ruff check"
    "$venv/bin/ruff" check . || status=1
    echo "== ruff format --check"
    "$venv/bin/ruff" format --check . || status=1
fi
[ $status = 0 ] && echo "lint: clean" || echo "lint: FAILED (bash scripts/lint.sh --fix applies the formatters)" >&2
exit $status
