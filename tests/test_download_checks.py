"""``download`` refuses a bad range or period before any request, in the words of the
command line: a mistake costs no request per ticker. The progress bar ends at its total
however the tickers arrive."""

import threading
import time

import pytest

import quorvex
from quorvex import cli, remote

pytestmark = pytest.mark.timeout(30)

TICKERS = ["FPT", "VNM", "HPG"]
CASES = [
    # (download's arguments, the command line's, the refusal with download's names)
    (
        {"period": "X"},
        ["--period", "X"],
        "period 'X' is not a pandas resample rule: use D, W, ME, QE or YE (or a multiple such as 2W)",
    ),
    (
        {"period": "W-NOPE"},
        ["--period", "W-NOPE"],
        "period 'W-NOPE' is not a pandas resample rule: use D, W, ME, QE or YE (or a multiple such as 2W)",
    ),
    (
        {"fromDate": "2024-13-01"},
        ["--from", "2024-13-01"],
        "fromDate '2024-13-01' is not a date: expected YYYY-MM-DD",
    ),
    ({"fromDate": "2024-1-5"}, ["--from", "2024-1-5"], "fromDate '2024-1-5' is not a date: expected YYYY-MM-DD"),
    ({"toDate": "20240331"}, ["--to", "20240331"], "toDate '20240331' is not a date: expected YYYY-MM-DD"),
    ({"toDate": "2024-02-30"}, ["--to", "2024-02-30"], "toDate '2024-02-30' is not a date: expected YYYY-MM-DD"),
    (
        {"fromDate": "2024-04-01"},
        ["--from", "2024-04-01"],
        "fromDate 2024-04-01 is after toDate 2024-03-31",
    ),
]


@pytest.fixture
def counted(httpserver, monkeypatch, logged_in):
    """Every data module pointed at a server that records what it is asked."""
    import importlib

    from quorvex.datasets import DATASETS

    httpserver.expect_request("/api/stock/pricebars").respond_with_json([])
    for dataset in DATASETS.values():
        monkeypatch.setattr(importlib.import_module(dataset.module), "base_url", httpserver.url_for("").rstrip("/"))
    yield httpserver


@pytest.mark.parametrize("configured", [False, True], ids=["plain", "configured"])
@pytest.mark.parametrize("changes, flags, message", CASES)
def test_a_bad_range_or_period_sends_nothing(counted, changes, flags, message, configured):
    if configured:
        quorvex.configure(timeout=5)
    arguments = {"fromDate": "2024-01-01", "toDate": "2024-03-31", "period": "W", **changes}
    try:
        with pytest.raises(ValueError) as refused:
            quorvex.download("pricebars", TICKERS * 10, **arguments, progress=False)
    finally:
        quorvex.configure()
    assert str(refused.value) == message
    assert list(counted.log) == []


@pytest.mark.parametrize("changes, flags, message", CASES)
def test_the_command_line_refuses_the_same_in_the_same_words(counted, monkeypatch, capsys, changes, flags, message):
    monkeypatch.setenv("QUORVEX_USERNAME", "demo")
    monkeypatch.setenv("QUORVEX_PASSWORD", "demo")
    options = {"--from": "2024-01-01", "--to": "2024-03-31", "--period": "W"}
    options.update(zip(flags[::2], flags[1::2]))
    args = ["pricebars", *TICKERS] + [part for pair in options.items() for part in pair]
    assert cli.main(args) == 1
    words = message.replace("fromDate", "--from").replace("toDate", "--to").replace("period", "--period", 1)
    assert capsys.readouterr().err == f"quorvex: error: {words}\n"
    assert list(counted.log) == []


def test_a_one_day_range_passes_and_a_number_is_no_date(counted):
    # The single day's request goes out: nothing is refused.
    assert quorvex.download("pricebars", ["FPT"], "2024-01-02", "2024-01-02", progress=False).empty
    with pytest.raises(TypeError, match="fromDate must be a date text 'YYYY-MM-DD', not int"):
        quorvex.download("pricebars", ["FPT"], 20240101, "2024-01-31", progress=False)
    assert len(counted.log) == 1


class Bar:
    """A progress bar that records its updates; the first one holds the caller's thread
    until every other ticker is in, as a slow terminal does."""

    def __init__(self, all_in):
        self.updates, self.all_in = [], all_in

    def update(self, step):
        if not self.updates and step:
            self.all_in.wait(10)
            time.sleep(0.05)  # the last worker appends its result after its call returns
        self.updates.append(step)

    def close(self):
        pass


def test_the_progress_bar_ends_at_its_total(monkeypatch, logged_in):
    """Tickers that arrive while the bar is being moved are counted once, not lost (a
    bar stopping at 1 of 6 with every ticker done)."""
    import pandas as pd

    import quorvex.process_stock.pricebars as module

    count = 6
    first_in, all_in = threading.Event(), threading.Event()
    done = []

    def fetch(ticker, *args):
        if ticker != "T0":
            first_in.wait(10)  # the others come while the bar shows the first
        done.append(ticker)
        if len(done) == count:
            all_in.set()
        return pd.DataFrame({"Close": [1.0]}, index=pd.DatetimeIndex(["2024-01-02"], name="DateTime"))

    bar = Bar(all_in)
    original = bar.update

    def update(step):
        first_in.set()
        original(step)

    bar.update = update
    monkeypatch.setattr(module, "get_pricebars", fetch)
    monkeypatch.setattr(remote.downloading, "_progress_bar", lambda *args: bar)
    table = quorvex.download("pricebars", [f"T{n}" for n in range(count)], "2024-01-01", "2024-01-31", workers=count)
    assert len(table) == count
    assert sum(bar.updates) == count and min(bar.updates) >= 0, bar.updates
