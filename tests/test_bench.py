"""The benchmark measures what it claims: each plain-Python rendition returns what the
compiled function returns (real pandas, the sample service), and every benchmark case
runs to its expected end with the stubs."""

import importlib
import os
import sys

import numpy as np
import pandas as pd
import pytest
import requests

from helpers import run_python
from quorvex.config import config
from quorvex.datasets import DATASETS
from quorvex.process_client.login import Client

# Imported before any test points the configuration at the sample service: a module
# imported afterwards would keep that address as its own.
COMPILED = {name: importlib.import_module(dataset.module) for name, dataset in DATASETS.items()}
BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")


def bench_module(name):
    """The benchmark's module `name`, imported from bench/."""
    sys.path.insert(0, BENCH)
    try:
        return importlib.import_module(name)
    finally:
        sys.path.remove(BENCH)


@pytest.fixture
def renditions(sample_service, monkeypatch):
    module = bench_module("renditions")
    for name, value in dict(Client=Client, base_url=sample_service, requests=requests, pd=pd, np=np).items():
        monkeypatch.setattr(module, name, value)
    monkeypatch.setattr(config, "base_url", sample_service)
    Client().login("demo", "demo")
    return module


# module, function, arguments after the date range
# Month ends are "ME" from pandas 2.2 on; pandas 3 refuses the older "M".
MONTH_END = "ME" if tuple(map(int, pd.__version__.split(".")[:2])) >= (2, 2) else "M"
SAME = [
    ("pricebars", "get_pricebars", ("D",)),
    ("pricebars", "get_pricebars", ("W",)),
    ("foreign", "get_foreign", ("D", 1e9)),
    ("foreign", "get_foreign", (MONTH_END, 1e6)),
    ("foreign", "get_foreign", ("W", 1e6)),
    ("dealerDesk", "get_dealerDesk", ("D", 1e6)),
    ("dealerDesk", "get_dealerDesk", ("W", 1e6)),
    ("matchBook", "get_match_book", ("D",)),
    ("matchBook", "get_match_book", ("W",)),
    ("dividend", "get_dividend", ()),
]


@pytest.mark.parametrize("module, function, extra", SAME, ids=[f"{c[1]}{c[2][:1]}" for c in SAME])
@pytest.mark.parametrize("ticker", ["FPT", "ZZZ"])  # ZZZ: refused with 404
def test_rendition_matches_compiled(renditions, sample_service, monkeypatch, module, function, extra, ticker):
    compiled = COMPILED[module]
    monkeypatch.setattr(compiled, "base_url", sample_service)
    args = (ticker, "2023-01-01", "2024-03-31", *extra)
    outcomes = []
    for fn in (getattr(compiled, function), getattr(renditions, function)):
        try:
            outcomes.append(fn(*args))
        except ValueError as error:
            outcomes.append(str(error))
    if ticker == "ZZZ":
        assert outcomes[0] == outcomes[1] and "status:404" in outcomes[0]
    else:
        pd.testing.assert_frame_equal(*outcomes)


def test_rendition_guard_matches_compiled(renditions):
    from quorvex.config.require_session import require_session

    report = lambda *args, **kwargs: (args, kwargs)
    guarded = [require_session(report), renditions.require_session(report)]
    assert guarded[0](1, unit=2) == guarded[1](1, unit=2) == ((1,), {"unit": 2})
    Client.token = None
    refusals = []
    for fn in guarded:
        with pytest.raises(Exception) as caught:
            fn()
        refusals.append((type(caught.value), caught.value.args))
    assert refusals[0] == refusals[1]


@pytest.mark.timeout(120)
def test_every_case_runs_with_the_stubs():
    script = os.path.join(BENCH, "bench.py")
    argv = [script, "worker", "time", "--calls", "2", "--repeats", "1"]
    times = run_python(f"import runpy, sys\nsys.argv = {argv!r}\nrunpy.run_path({script!r}, run_name='__main__')")
    cases = bench_module("cases")
    assert list(times) == [case.name for case in cases.CASES]
    assert all(len(pair) == 2 and min(pair) > 0 for pair in times.values())


def test_own_instructions_counts_the_package_code_alone(tmp_path):
    """The benchmark's split of the compiled side's count: cost lines of the package's
    object files count, a call's inclusive cost (the line after `calls=`) and every other
    object's lines do not, including a directory that merely starts with the same name;
    object names are compressed after their first use, which may name a callee's object."""
    bench = bench_module("bench")
    package = str(tmp_path / "site" / "quorvex")
    dump = tmp_path / "callgrind.out"
    dump.write_text(
        f"version: 1\nevents: Ir\n"
        f"ob=(2) /usr/lib/libpython3.so\nfn=(5) main\n1 9\n"
        f"cob=(1) {package}/process_stock/matchBook.so\ncfn=(1) body\ncalls=1 10\n2 5127\n"
        f"ob=(1)\nfl=(1) body.cpp\nfn=(1)\n10 100\n"
        f"cob=(2)\ncfn=(2) PyObject_Vectorcall\ncalls=1 5\n+2 5000\n+1 7\n"
        f"ob=(2)\nfn=(2)\n5 300\n"
        f"ob=(3) {package}-old/matchBook.so\nfn=(3) other\n1 40\n"
        f"ob=(1)\nfn=(4) helper\n* 20\n"
        f"totals: 5476\n"
    )
    assert bench.own_instructions(str(dump), package) == 127


def test_margin_gate_takes_ratio_minus_floor_of_each_case(capsys):
    """The gate compares each case's own instructions with its rendition's count (ratio
    minus floor), not the ratio: a case far over its target but with little code of its
    own passes, one whose own share is just over the margin fails and is marked."""
    bench = bench_module("bench")
    report = {
        "versions": "test",
        "instructions": {"costly callees": [1500.0, 1000.0], "at the margin": [500.0, 1000.0], "over": [500.0, 1000.0]},
        "own": {"costly callees": 10.0, "at the margin": 80.0, "over": 81.0},
    }
    assert bench.over_margin(report, 0.08) == ["over"]
    assert bench.over_margin(report, 0.081) == []
    bench.print_table(report, 1.0, 0.08)
    lines = {line.split("  ")[0]: line for line in capsys.readouterr().out.splitlines()}
    assert lines["over"].rstrip().endswith("!") and lines["costly callees"].count("*") == 1
    assert not lines["at the margin"].rstrip().endswith("!")
