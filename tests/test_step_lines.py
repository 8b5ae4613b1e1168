"""Each step of each data function, made to fail in turn, is reported at its own line:
the line a user sees in the traceback entry of the function."""

import importlib

import pytest

from helpers import STEP_LINES, UNIT_MODULES, StepFailed, StubPeriod, series_line, stub_globals
from quorvex.datasets import DATASETS

FUNCTIONS = {name: dataset.function for name, dataset in DATASETS.items()}
# Every step of STEP_LINES but the price bars' period test, which a stand-in cannot fail
# (the price bars take a str period only).
CASES = [
    (module, step, line)
    for module, lines in STEP_LINES.items()
    for step, line in lines.items()
    if (module, step) != ("pricebars", "period")
]


def call(module, fail, status=200):
    """Calls the module's function with every global replaced by a stand-in."""
    mod = importlib.import_module(f"quorvex.process_stock.{module}")
    for name, value in stub_globals(fail, status).items():
        setattr(mod, name, value)
    function = FUNCTIONS[module]
    args = ["FPT", "2024-01-01", "2024-01-31"]
    if module != "dividend":
        args.append("W" if module == "pricebars" else StubPeriod(fail))
    if module in UNIT_MODULES:
        args.append(1000)
    return getattr(mod, function)(*args)


@pytest.mark.parametrize("module, step, line", CASES, ids=[f"{m}-{s}" for m, s, _ in CASES])
def test_failing_step_reports_its_line(monkeypatch, module, step, line):
    """Catches a step reported at another step's line, or at a line moved in the tables."""
    mod = importlib.import_module(f"quorvex.process_stock.{module}")
    for name in stub_globals():
        monkeypatch.setattr(mod, name, None, raising=False)  # restored after the test
    expected = ValueError if step == "fail" else StepFailed
    with pytest.raises(expected) as excinfo:
        call(module, step, 404 if step == "fail" else 200)
    assert step == "fail" or excinfo.value.args == (step,)
    assert series_line(excinfo.value, module, FUNCTIONS[module]) == line
