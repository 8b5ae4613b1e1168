"""Each step of each data function, made to fail in turn, is reported at its own line."""

import importlib

import pytest

from helpers import StepFailed, StubPeriod, series_line, stub_globals

COMMON = ("client", "headers", "url", "get", "status", "table", "to_datetime")
LINES = {  # module: function, the line of each step, in the order of COMMON, then its own steps
    "pricebars": ("get_pricebars", (10, 11, 12, 18, 23, 24, 25),
                  dict(set_index=26, regroup=28, ticker=37, fail=40)),
    "foreign": ("get_foreign", (8, 9, 10, 16, 21, 22, 23),
                dict(set_index=24, period=25, regroup=26, ticker=34, scale=36, fail=39)),
    "dealerDesk": ("get_dealerDesk", (10, 11, 12, 18, 23, 24, 25),
                   dict(set_index=26, period=27, regroup=28, ticker=29, scale=31, fail=34)),
    "matchBook": ("get_match_book", (10, 11, 12, 18, 23, 24, 25),
                  dict(set_index=26, period=27, regroup=28, filter=29, ticker=30, fail=33)),
    # The dividend converts its three date columns where the others convert "DateTime".
    "dividend": ("get_dividend", (8, 9, 10, 16, 21, 22, 30), dict(replace=23, fail=33)),
}
CASES = [(module, step, line) for module, (_, common, own) in LINES.items()
         for step, line in [*zip(COMMON, common), *own.items()]]


def call(module, fail, status=200):
    """Calls the module's function with every global replaced by a stand-in."""
    mod = importlib.import_module(f"quorvex.process_stock.{module}")
    for name, value in stub_globals(fail, status).items():
        setattr(mod, name, value)
    args = ["FPT", "2024-01-01", "2024-01-31"]
    if module != "dividend":
        args.append("W" if module == "pricebars" else StubPeriod(fail))
    if module in ("foreign", "dealerDesk"):
        args.append(1000)
    return getattr(mod, LINES[module][0])(*args)


@pytest.mark.parametrize("module, step, line", CASES, ids=[f"{m}-{s}" for m, s, _ in CASES])
def test_failing_step_reports_its_line(monkeypatch, module, step, line):
    mod = importlib.import_module(f"quorvex.process_stock.{module}")
    for name in stub_globals():
        monkeypatch.setattr(mod, name, None, raising=False)  # restored after the test
    expected = ValueError if step == "fail" else StepFailed
    with pytest.raises(expected) as excinfo:
        call(module, step, 404 if step == "fail" else 200)
    assert step == "fail" or excinfo.value.args == (step,)
    assert series_line(excinfo.value, module, LINES[module][0]) == line
