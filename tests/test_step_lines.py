"""Each step of each data function, made to fail in turn, is reported at its own line."""

import importlib

import pytest

from helpers import StepFailed, StubPeriod, series_line, stub_globals
from source_tables import step_lines, takes_unit

COMMON = ("client", "headers", "url", "get", "status", "table", "to_datetime")
# module: function, then its own steps after COMMON (the dividend converts its three date
# columns where the others convert "DateTime"). The lines come from the modules' tables.
STEPS = {
    "pricebars": ("get_pricebars", ("set_index", "regroup", "ticker", "fail")),
    "foreign": ("get_foreign", ("set_index", "period", "regroup", "ticker", "scale", "fail")),
    "dealerDesk": ("get_dealerDesk", ("set_index", "period", "regroup", "ticker", "scale", "fail")),
    "matchBook": ("get_match_book", ("set_index", "period", "regroup", "filter", "ticker", "fail")),
    "dividend": ("get_dividend", ("replace", "fail")),
}
CASES = [(module, step, step_lines(module)[step]) for module, (_, own) in STEPS.items() for step in COMMON + own]


def call(module, fail, status=200):
    """Calls the module's function with every global replaced by a stand-in."""
    mod = importlib.import_module(f"quorvex.process_stock.{module}")
    for name, value in stub_globals(fail, status).items():
        setattr(mod, name, value)
    args = ["FPT", "2024-01-01", "2024-01-31"]
    if module != "dividend":
        args.append("W" if module == "pricebars" else StubPeriod(fail))
    if takes_unit(module):
        args.append(1000)
    return getattr(mod, STEPS[module][0])(*args)


@pytest.mark.parametrize("module, step, line", CASES, ids=[f"{m}-{s}" for m, s, _ in CASES])
def test_failing_step_reports_its_line(monkeypatch, module, step, line):
    mod = importlib.import_module(f"quorvex.process_stock.{module}")
    for name in stub_globals():
        monkeypatch.setattr(mod, name, None, raising=False)  # restored after the test
    expected = ValueError if step == "fail" else StepFailed
    with pytest.raises(expected) as excinfo:
        call(module, step, 404 if step == "fail" else 200)
    assert step == "fail" or excinfo.value.args == (step,)
    assert series_line(excinfo.value, module, STEPS[module][0]) == line
