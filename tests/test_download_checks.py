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
RULE = "{} '{}' is not a pandas resample rule: use D, W, ME, QE or YE (or a multiple such as 2W)"
DATE = "{} '{}' is not a date: expected YYYY-MM-DD"
FLAGS = {"period": "--period", "fromDate": "--from", "toDate": "--to"}
# (download's argument, its value, the refusal with download's names)
CASES = [
    ("period", "X", RULE),
    ("period", "W-NOPE", RULE),
    ("fromDate", "2024-13-01", DATE),
    ("fromDate", "2024-1-5", DATE),
    ("toDate", "20240331", DATE),
    ("toDate", "2024-02-30", DATE),
    ("fromDate", "2024-04-01", "{} {} is after toDate 2024-03-31"),
]


@pytest.fixture
def counted(httpserver, logged_in):
    """The server every data module is pointed at, recording what it is asked."""
    httpserver.expect_request("/api/stock/pricebars").respond_with_json([])
    return httpserver


@pytest.mark.parametrize("configured", [False, True], ids=["plain", "configured"])
@pytest.mark.parametrize("name, value, message", CASES)
def test_a_bad_range_or_period_sends_nothing(counted, name, value, message, configured):
    if configured:
        quorvex.configure(timeout=5)
    arguments = {"fromDate": "2024-01-01", "toDate": "2024-03-31", "period": "W", name: value}
    try:
        with pytest.raises(ValueError) as refused:
            quorvex.download("pricebars", TICKERS * 10, **arguments, progress=False)
    finally:
        quorvex.configure()
    assert str(refused.value) == message.format(name, value)
    assert list(counted.log) == []


@pytest.mark.parametrize("name, value, message", CASES)
def test_the_command_line_refuses_the_same_in_the_same_words(counted, monkeypatch, capsys, name, value, message):
    monkeypatch.setenv("QUORVEX_USERNAME", "demo")
    monkeypatch.setenv("QUORVEX_PASSWORD", "demo")
    options = {"--from": "2024-01-01", "--to": "2024-03-31", "--period": "W", FLAGS[name]: value}
    args = ["pricebars", *TICKERS] + [part for pair in options.items() for part in pair]
    assert cli.main(args) == 1
    words = message.format(FLAGS[name], value).replace("toDate", "--to")
    assert capsys.readouterr().err == f"quorvex: error: {words}\n"
    assert list(counted.log) == []


def test_a_one_day_range_passes_and_a_number_is_no_date(counted):
    # The single day's request goes out: nothing is refused.
    assert quorvex.download("pricebars", ["FPT"], "2024-01-02", "2024-01-02", progress=False).empty
    with pytest.raises(TypeError, match="fromDate must be a date text 'YYYY-MM-DD', not int"):
        quorvex.download("pricebars", ["FPT"], 20240101, "2024-01-31", progress=False)
    assert len(counted.log) == 1


class Bar:
    """A progress bar that records its updates and lets the other tickers in; the first
    one holds the caller's thread until every other ticker is in, as a slow terminal does."""

    def __init__(self, first_in, all_in):
        self.updates, self.first_in, self.all_in = [], first_in, all_in

    def update(self, step):
        self.first_in.set()
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

    bar = Bar(first_in, all_in)
    monkeypatch.setattr(module, "get_pricebars", fetch)
    monkeypatch.setattr(remote.downloading, "_progress_bar", lambda *args: bar)
    table = quorvex.download("pricebars", [f"T{n}" for n in range(count)], "2024-01-01", "2024-01-31", workers=count)
    assert len(table) == count
    assert sum(bar.updates) == count and min(bar.updates) >= 0, bar.updates
