#!/usr/bin/env bash
# Mutation testing of the Python layer: mutmut's mutants of each module, checked by the
# tests that exercise it (scripts/mutants.py runs them on several copies of the checkout).
#
#   bash scripts/mutants.sh [MODULE ...]       MODULE: config login remote bulk store rate cli chart (default: all)
#   MUTANTS_AGAIN=survived bash scripts/mutants.sh remote    only the last run's survivors
#   MUTANTS_EVERY=4 bash scripts/mutants.sh remote           a sample: every 4th mutant
#
# A mutant is killed when a test fails or the run passes its time-out. Results and the
# diff of every mutant go to build/mutants/MODULE.json. The tools live in their own venv
# (MUTANTS_VENV, default .venv-mut, made with MUTANTS_PYTHON, default python3.11, with the
# package installed editable, again at each run unless MUTANTS_NO_INSTALL is set);
# MUTANTS_JOBS copies run at once (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${MUTANTS_VENV:-.venv-mut}

# The file of each module and the tests that kill its mutants; the slowest cases (leak
# checks, child processes, huge bodies, dripping servers, the README's examples) are left
# out.
declare -A FILES=(
    [config]=quorvex/config/config.py
    [login]=quorvex/process_client/login.py
    [remote]="quorvex/remote/policy.py quorvex/remote/attempt.py quorvex/remote/transport.py quorvex/remote/curl.py quorvex/remote/outcome.py quorvex/remote/answers.py quorvex/remote/client.py quorvex/remote/configuration.py quorvex/remote/downloading.py"
    [bulk]="quorvex/bulk.py quorvex/remote/steps.py quorvex/remote/multi.py"
    [store]=quorvex/store.py
    [rate]=quorvex/throttle.py
    [chart]=quorvex/chart.py
    [cli]="quorvex/cli/app.py quorvex/cli/dates.py quorvex/cli/fetching.py quorvex/cli/rendering.py quorvex/cli/session.py quorvex/cli/errors.py quorvex/cli/chart_command.py quorvex/cli/parsing.py quorvex/cli/store_command.py"
)
declare -A TESTS=(
    [config]="tests/test_login_client.py tests/test_network_faults.py -k 'login or mask or clear_text or secrets'"
    [login]="tests/test_login_client.py tests/test_require_session.py tests/test_network_faults.py -k 'login or mask or clear_text or secrets or require or redirect'"
    [remote]="tests/test_remote_contract.py tests/test_remote.py tests/test_network_faults.py tests/test_store.py tests/test_rate.py tests/test_remote_edges.py tests/test_bulk.py tests/test_transport.py -k 'not leak and not ctrl_c and not child_process and not huge_body'"
    [bulk]="tests/test_bulk.py tests/test_transport.py tests/test_policy.py tests/test_remote_edges.py tests/test_remote.py -k 'not leak'"
    [store]="tests/test_store.py tests/test_store_cases.py tests/test_store_faith.py tests/test_store_read_only.py tests/test_cli_store.py"
    [rate]="tests/test_rate.py tests/test_bulk.py tests/test_policy.py"
    [chart]="tests/test_chart_periods.py"
    [cli]="tests/test_cli_contract.py tests/test_cli_faults.py tests/test_cli_refusals.py tests/test_cli_store.py tests/test_cli_edges.py -k 'not readme and not dripping and not partial and not pipeline_refuses and not password_or_the_token'"
)

if [[ ! -x $VENV/bin/mutmut ]]; then
    "${MUTANTS_PYTHON:-python3.11}" -m venv "$VENV"
    "$VENV/bin/pip" install -q 'mutmut==2.5.1' coverage
fi
[[ -n ${MUTANTS_NO_INSTALL:-} ]] || "$VENV/bin/pip" install -q -e '.[test]'

for name in ${@:-config login remote bulk store rate cli chart}; do
    files=()
    for file in ${FILES[$name]:?unknown module $name; one of: ${!FILES[*]}}; do
        files+=(--file "$file" --results "build/mutants/${file//\//_}.json")
    done
    "$VENV/bin/python" scripts/mutants.py "${files[@]}" --tests "${TESTS[$name]}" \
        --jobs "${MUTANTS_JOBS:-2}" --timeout 150 --again "${MUTANTS_AGAIN:-all}" --every "${MUTANTS_EVERY:-1}"
done
