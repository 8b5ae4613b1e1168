"""What type checkers and IDEs see of the installed package: the stubs agree with the
compiled modules, a typed script passes ``mypy --strict``, wrong calls are reported,
and an editor completes and documents a returned table. Needs mypy and pandas-stubs
(jedi for the editor check); scripts/typecheck.sh installs them."""

import os
import re
import subprocess
import sys
import tempfile

import pytest

from helpers import PACKAGE_ROOT, TESTS_DIR

pytest.importorskip("mypy", reason="mypy is not installed (scripts/typecheck.sh installs it)")

TYPING_DIR = os.path.join(TESTS_DIR, "typing")


def run_mypy(*args):
    """mypy on the installed package, from outside the source tree; (exit code, output)."""
    env = {key: value for key, value in os.environ.items() if key not in ("PYTHONPATH", "MYPYPATH")}
    with tempfile.TemporaryDirectory() as cache:
        env["MYPY_CACHE_DIR"] = cache
        command = [sys.executable, "-m", *args]
        done = subprocess.run(command, capture_output=True, text=True, timeout=600, env=env, cwd=tempfile.gettempdir())
    return done.returncode, done.stdout + done.stderr


@pytest.mark.timeout(900)
def test_stubs_match_the_installed_modules():
    allowlist = os.path.join(TYPING_DIR, "stubtest_allowlist.txt")
    code, output = run_mypy("mypy.stubtest", "quorvex", "--allowlist", allowlist)
    assert code == 0, output


@pytest.mark.timeout(600)
def test_typed_script_passes_strict_mode():
    code, output = run_mypy("mypy", "--strict", os.path.join(TYPING_DIR, "example.py"))
    assert code == 0, output


@pytest.mark.timeout(600)
def test_wrong_calls_are_reported_where_marked():
    path = os.path.join(TYPING_DIR, "wrong_calls.py")
    with open(path, encoding="utf-8") as source:
        expected = {
            (number, match.group(1))
            for number, line in enumerate(source, 1)
            for match in [re.search(r"# expect: ([\w-]+)$", line)]
            if match
        }
    assert len(expected) >= 8
    code, output = run_mypy("mypy", "--strict", "--show-error-codes", path)
    reported = {
        (int(line), error_code)
        for line, error_code in re.findall(r"wrong_calls\.py:(\d+): error: .*\[([\w-]+)\]$", output, re.M)
    }
    assert code == 1 and reported == expected, output


def test_editor_completes_and_documents_a_returned_table():
    jedi = pytest.importorskip("jedi")
    source = (
        "from quorvex.process_stock.foreign import get_foreign\n"
        "table = get_foreign('FPT', '2024-01-01', '2024-03-31', 'W', 1e9)\n"
        "table.resa"
    )
    folder = tempfile.gettempdir()
    project = jedi.Project(folder, added_sys_path=[PACKAGE_ROOT])
    script = jedi.Script(source, path=os.path.join(folder, "user_script.py"), project=project)
    assert "resample" in [completion.name for completion in script.complete(3, 10)]
    [definition] = script.infer(2, 10)
    docstring = definition.docstring()
    assert "netForeignValue" in docstring and "ValueError" in docstring, docstring
