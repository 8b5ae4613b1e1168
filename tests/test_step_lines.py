"""Each step of each data function, made to fail in turn, is reported at its own line:
the line a user sees in the traceback entry of the function."""

import importlib

import pytest

from helpers import StepFailed, StubPeriod, series_line, stub_globals

# module: (function, takes a unit, {step: line}): the line the function's traceback entry
# shows for each failing step, written out here, so that a line table edited by mistake
# in the C++ sources shows up as a wrong line rather than moving the test along.
STEPS = {
    "pricebars": (
        "get_pricebars",
        False,
        {"client": 10, "headers": 11, "url": 12, "get": 18, "status": 23, "table": 24, "to_datetime": 25,
         "set_index": 26, "regroup": 28, "ticker": 37, "fail": 40},
    ),
    "foreign": (
        "get_foreign",
        True,
        {"client": 8, "headers": 9, "url": 10, "get": 16, "status": 21, "table": 22, "to_datetime": 23,
         "set_index": 24, "period": 25, "regroup": 26, "ticker": 34, "scale": 36, "fail": 39},
    ),
    "dealerDesk": (
        "get_dealerDesk",
        True,
        {"client": 10, "headers": 11, "url": 12, "get": 18, "status": 23, "table": 24, "to_datetime": 25,
         "set_index": 26, "period": 27, "regroup": 28, "ticker": 29, "scale": 31, "fail": 34},
    ),
    "matchBook": (
        "get_match_book",
        False,
        {"client": 10, "headers": 11, "url": 12, "get": 18, "status": 23, "table": 24, "to_datetime": 25,
         "set_index": 26, "period": 27, "regroup": 28, "filter": 29, "ticker": 30, "fail": 33},
    ),
    "dividend": (
        "get_dividend",
        False,
        {"client": 8, "headers": 9, "url": 10, "get": 16, "status": 21, "table": 22, "replace": 23,
         "to_datetime": 30, "fail": 33},
    ),
}
CASES = [(module, step, line) for module, (_, _, lines) in STEPS.items() for step, line in lines.items()]


def call(module, fail, status=200):
    """Calls the module's function with every global replaced by a stand-in."""
    mod = importlib.import_module(f"quorvex.process_stock.{module}")
    for name, value in stub_globals(fail, status).items():
        setattr(mod, name, value)
    function, takes_unit, _ = STEPS[module]
    args = ["FPT", "2024-01-01", "2024-01-31"]
    if module != "dividend":
        args.append("W" if module == "pricebars" else StubPeriod(fail))
    if takes_unit:
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
    assert series_line(excinfo.value, module, STEPS[module][0]) == line
