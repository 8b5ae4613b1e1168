"""The README's first command: ``demo.py`` run from the source root, as scripts/demo.sh
runs it, by the interpreter of a fresh virtual environment outside the source tree that
holds the installed package. Every section must show its table, and a section that
cannot must end the tour with a failing status."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

import quorvex
from helpers import PACKAGE_ROOT

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEMO = ROOT / "demo.py"

pytestmark = pytest.mark.timeout(300)


def fresh_environment(folder, leave_out=()):
    """A virtual environment in ``folder`` holding a copy of the installed quorvex
    (without the files matching ``leave_out``) and its ``quorvex`` command; the
    dependencies come from the test run's own environment, after the copy on sys.path."""
    if not DEMO.exists():
        pytest.skip("demo.py is not next to the tests (an installed package)")
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(folder)], check=True)
    python = folder / "bin" / "python"
    where = [str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"]
    site = subprocess.run(where, check=True, capture_output=True, text=True).stdout.strip()
    shutil.copytree(
        os.path.dirname(quorvex.__file__),
        os.path.join(site, "quorvex"),
        ignore=shutil.ignore_patterns("__pycache__", *leave_out),
    )
    pathlib.Path(site, "dependencies.pth").write_text(PACKAGE_ROOT + "\n")
    command = folder / "bin" / "quorvex"
    command.write_text(f"#!{python}\nimport sys\nfrom quorvex.cli import main\nsys.exit(main())\n")
    command.chmod(0o755)
    return python


def run_demo(python):
    env = {key: value for key, value in os.environ.items() if not key.startswith(("QUORVEX_", "PYTHON"))}
    # As scripts/demo.sh runs it: from the source root, by the script's name.
    return subprocess.run([str(python), "demo.py"], cwd=ROOT, env=env, capture_output=True, text=True, timeout=240)


def sections(output):
    """Title -> the lines printed under it."""
    found = {}
    for part in output.split("\n== ")[1:]:
        title, _, body = part.partition("\n")
        found[title] = body.strip("\n").splitlines()
    return found


DATED_ROW = re.compile(r"^\d{4}-\d{2}-\d{2}\b")


def test_every_section_of_the_demo_shows_its_table(tmp_path):
    pytest.importorskip("matplotlib")
    done = run_demo(fresh_environment(tmp_path / "venv"))
    assert done.returncode == 0, done.stdout + done.stderr
    shown = sections(done.stdout)
    data = {title: body for title, body in shown.items() if title.startswith("get_")}
    assert len(data) == 9, list(shown)
    for title, body in data.items():
        # A header line, then rows: every time series' rows start with their date, the
        # dividend rows carry theirs in the date columns.
        rows = [line for line in body if DATED_ROW.match(line) or re.search(r"\d{4}-\d{2}-\d{2}", line)]
        assert len(body) >= 3 and rows and not body[0].startswith("("), (title, body)
    guard = shown["login guard: require_session"]
    assert guard[0].startswith("before login: Exception: ") and "returned 'hello, demo'" in done.stdout, guard
    export = next(body for title, body in shown.items() if title.startswith("quorvex pricebars"))
    assert export[0] == "DateTime,ticker,Open,High,Low,Close,Volume" and len(export) > 2, export
    assert any(line.startswith("chart written to ") for lines in shown.values() for line in lines)
    assert "(module not built)" not in done.stdout


def test_a_data_module_missing_from_the_install_fails_the_demo(tmp_path):
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    done = run_demo(fresh_environment(tmp_path / "venv", leave_out=[f"foreign{suffix}"]))
    assert done.returncode == 1, done.stdout + done.stderr
    shown = sections(done.stdout)
    missing = [title for title, body in shown.items() if body == ["(module not built)"]]
    assert missing and all(title.startswith("get_foreign") for title in missing), shown
    assert "section(s) failed: get_foreign" in done.stderr
