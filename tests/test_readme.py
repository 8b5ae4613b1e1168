"""The README cannot drift: its ``pycon`` blocks run as doctests against the sample service
(the values shown are compared as printed, spaces included: a table header padded
with trailing spaces must be shown so), its ``python`` blocks run as written (a line marked
``# mypy:`` must raise the TypeError a type checker reports), and the ``quorvex`` lines
of its command-line section run as commands."""

import ast
import doctest
import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pandas as pd
import pytest

from helpers import PACKAGE_ROOT
from test_cli import LOGIN, run

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def blocks(language, section=None):
    """The code blocks of ``language`` in the README (or in its ``## section``), in order."""
    if not README.exists():
        pytest.skip("the README is not next to the tests (an installed package)")
    text = README.read_text(encoding="utf-8")
    if section is not None:
        start = text.index(f"\n## {section}")
        text = text[start : text.index("\n## ", start + 1)]
    return re.findall(rf"```{language}\n(.*?)```", text, re.DOTALL)


@pytest.fixture
def at_the_sample_service(sample_service, cli_at, monkeypatch, tmp_path):
    """Every module, the login and the environment pointed at the sample service (and a
    history store at ``store=True`` in a folder of the test's own); the configuration,
    the login and the address put back afterwards."""
    monkeypatch.setenv("QUORVEX_STORE", str(tmp_path / "history.sqlite3"))
    cli_at(sample_service)
    return sample_service


@pytest.mark.timeout(120)
def test_the_pycon_blocks_show_what_the_package_gives(at_the_sample_service):
    """All ``pycon`` blocks as one session, in the README's order (later blocks use the
    names of earlier ones)."""
    source = "\n".join(blocks("pycon"))
    assert source.count(">>> ") >= 15
    test = doctest.DocTestParser().get_doctest(source, {}, "README.md", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


@pytest.mark.timeout(120)
def test_the_python_blocks_run_as_written(at_the_sample_service):
    """Each ``python`` block in a fresh namespace; the real-service block logs in with
    ``quorvex.login()`` from the environment, as it is written."""
    found = blocks("python")
    assert any("qv.login()" in block for block in found)
    for block in found:
        namespace = {"__name__": "readme"}
        for statement in _statements(block):
            if "# mypy:" in statement:
                with pytest.raises(TypeError):
                    exec(statement, namespace)
            else:
                exec(statement, namespace)
        if "table" in namespace and "download" in block:
            table = namespace["table"]
            assert list(dict.fromkeys(table["ticker"])) == ["FPT", "VNM", "HPG", "VCB"]


def _statements(block):
    """The block's top-level statements, each as its own source text."""
    tree = ast.parse(block)
    lines = block.splitlines()
    return ["\n".join(lines[node.lineno - 1 : node.end_lineno]) for node in tree.body]


def test_the_statements_about_dates_and_empty_tables_hold(at_the_sample_service):
    """What the README says of the date columns' type on every pandas, and of the empty
    tables (the dividend's included), in its words."""
    text = README.read_text(encoding="utf-8")
    unit = "us" if int(pd.__version__.split(".")[0]) >= 3 else "ns"
    assert f"`datetime64[{unit}]`" in text
    assert "of the same shape" not in text


# --- The command line's examples -------------------------------------------------------


@pytest.mark.timeout(300)
def test_the_readme_examples_run(sample_service, tmp_path):
    """Every ``quorvex ...`` line of the command-line section runs; the files it names are
    written, and a CSV it writes gives the library's table back as the README says it does."""
    commands = [line for block in blocks("sh", "Command line") for line in block.splitlines()]
    commands = [line for line in commands if line.startswith("quorvex ")]
    assert len(commands) >= 5
    bin_dir = os.path.dirname(sys.executable)
    env = {key: value for key, value in os.environ.items() if not key.startswith("QUORVEX_")}
    env.update(LOGIN, QUORVEX_BASE_URL=sample_service, PATH=bin_dir + os.pathsep + env.get("PATH", ""))
    env["PYTHONPATH"] = PACKAGE_ROOT
    ran = 0
    for command in commands:
        needs = {"parquet": "pyarrow", "chart": "matplotlib"}
        if any(word in command and importlib.util.find_spec(module) is None for word, module in needs.items()):
            continue
        done = subprocess.run(["bash", "-c", command], env=env, cwd=tmp_path, capture_output=True, timeout=120)
        assert done.returncode == 0, (command, done.stderr)
        for written in re.findall(r"(?:-o|>) (\S+)", command):
            assert (tmp_path / written).stat().st_size > 0, command
        ran += 1
    assert ran >= 3
    bars = pd.read_csv(tmp_path / "bars.csv", index_col="DateTime", parse_dates=True)
    assert list(dict.fromkeys(bars["ticker"])) == ["FPT", "VNM"] and bars.index.name == "DateTime"


# --- The command line's error lines -----------------------------------------------------


@pytest.mark.timeout(120)
@pytest.mark.parametrize(
    "where",
    [
        "a service down from the start",  # the login fails first, with no ticker named
        "an address whose path is wrong",  # a 404 at the login points at the address
    ],
)
def test_the_error_lines_shown_are_what_a_user_sees(where, request):
    if where == "a service down from the start":
        address = request.getfixturevalue("closed_port")
    else:
        address = request.getfixturevalue("sample_service") + "/wrong"
    args = ["pricebars", "FPT", "VNM", "--from", "2024-01-01", "--to", "2024-01-31"]
    done = run(address, *args, env={"QUORVEX_STORE": "0"}, timeout=100)
    assert (done.returncode, done.stdout) == (1, b"")
    line = done.stderr.decode().strip().replace(address, "https://...")
    # The README's examples of the command line's errors.
    assert line in [shown for block in blocks("text", "Command line") for shown in block.splitlines()]
