#!/usr/bin/env bash
# Mutation testing of the Python layer with mutmut 2, module by module.
#
#   bash scripts/mutants.sh [MODULE ...]      MODULE: config login remote cli (default: all)
#   bash scripts/mutants.sh --run MODULE      the fast test run of MODULE (what mutmut calls)
#
# mutmut changes each file in place while its tests run, so run this in a checkout of
# its own (for example `git worktree add ../mutants`), never in one you are editing.
# Each module is checked by the tests that exercise it, stopping at the first failure
# (-x), with the slow cases left out; a mutant that runs past the time-out counts as
# killed. The results stay in .mutmut-cache: `mutmut results`, `mutmut show ID`,
# `mutmut run ID` to check one mutant again. Environment: MUTANTS_VENV (default
# .venv-mut), MUTANTS_PYTHON (default python3.11).
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${MUTANTS_VENV:-.venv-mut}
PYTEST=("$VENV/bin/python" -m pytest -x -q -p no:cacheprovider)

# The files of each module and the tests that kill its mutants, the quickest first.
declare -A FILES=(
    [config]=quorvex/config/config.py
    [login]=quorvex/process_client/login.py
    [remote]=quorvex/remote.py
    [cli]=quorvex/cli.py
)

run_tests() {
    case "$1" in
    config | login)
        "${PYTEST[@]}" tests/test_login_client.py tests/test_require_session.py tests/test_network_faults.py \
            -k "login or mask or clear_text or secrets or require or address or refusal or redirect"
        ;;
    remote)
        "${PYTEST[@]}" tests/test_remote_contract.py tests/test_remote.py tests/test_network_faults.py \
            -k "not leak and not ctrl_c and not child_process and not huge_body"
        ;;
    cli)
        "${PYTEST[@]}" tests/test_cli_contract.py tests/test_cli.py tests/test_cli_faults.py \
            -k "not readme and not chart and not ctrl_c and not output_file_format"
        ;;
    *)
        echo "unknown module $1; one of: ${!FILES[*]}" >&2
        return 2
        ;;
    esac
}

if [[ ${1:-} == --run ]]; then
    run_tests "$2"
    exit
fi

if [[ ! -x $VENV/bin/mutmut ]]; then
    "${MUTANTS_PYTHON:-python3.11}" -m venv "$VENV"
    "$VENV/bin/pip" install -q 'mutmut==2.5.1'
fi
"$VENV/bin/pip" install -q -e '.[test]'

status=0
for module in "${@:-config login remote cli}"; do
    for name in $module; do
        file=${FILES[$name]:?unknown module $name}
        echo "== $name ($file)"
        # The time-out of a mutant: twice the unmutated run, plus 15 s.
        "$VENV/bin/mutmut" run --paths-to-mutate "$file" --runner "bash scripts/mutants.sh --run $name" \
            --test-time-multiplier 2 --test-time-base 15 --CI || status=1
        "$VENV/bin/mutmut" results || true
    done
done
exit $status
