"""Each step of each data function, made to fail in turn, is reported at its own line:
the line a user sees in the traceback entry of the function."""

import importlib

import pytest

from helpers import StepFailed, StubPeriod, series_line, stub_globals

FUNCTIONS = {
    "pricebars": "get_pricebars",
    "foreign": "get_foreign",
    "dealerDesk": "get_dealerDesk",
    "matchBook": "get_match_book",
    "dividend": "get_dividend",
}
TAKE_A_UNIT = ("foreign", "dealerDesk")
# A step, then the line the function's traceback entry shows when that step fails, in
# the order of FUNCTIONS (None: the function has no such step, or, for the price bars'
# period, one that a stand-in cannot fail: its period must be a str). Written out here,
# so that a line table edited by mistake in the C++ sources shows up as a wrong line.
LINES = [
    ("client", 10, 8, 10, 10, 8),
    ("headers", 11, 9, 11, 11, 9),
    ("url", 12, 10, 12, 12, 10),
    ("get", 18, 16, 18, 18, 16),
    ("status", 23, 21, 23, 23, 21),
    ("table", 24, 22, 24, 24, 22),
    ("to_datetime", 25, 23, 25, 25, 30),
    ("set_index", 26, 24, 26, 26, None),
    ("period", None, 25, 27, 27, None),
    ("regroup", 28, 26, 28, 28, None),
    ("filter", None, None, None, 29, None),
    ("ticker", 37, 34, 29, 30, None),
    ("scale", None, 36, 31, None, None),
    ("replace", None, None, None, None, 23),
    ("fail", 40, 39, 34, 33, 33),
]
CASES = [(module, step, line) for step, *lines in LINES for module, line in zip(FUNCTIONS, lines) if line is not None]


def call(module, fail, status=200):
    """Calls the module's function with every global replaced by a stand-in."""
    mod = importlib.import_module(f"quorvex.process_stock.{module}")
    for name, value in stub_globals(fail, status).items():
        setattr(mod, name, value)
    function = FUNCTIONS[module]
    args = ["FPT", "2024-01-01", "2024-01-31"]
    if module != "dividend":
        args.append("W" if module == "pricebars" else StubPeriod(fail))
    if module in TAKE_A_UNIT:
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
