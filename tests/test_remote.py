"""configure (time limits, retries, one shared session) and download (many tickers at
once), against real servers on 127.0.0.1."""

import json
import sys

import numpy as np
import pandas as pd
import pytest
from werkzeug import Response

import quorvex
from helpers import run_python
from quorvex import remote
from quorvex.process_client.login import Client

pytestmark = pytest.mark.timeout(30)

PRICEBARS = "/api/stock/pricebars"


def bar(close=1):
    """One daily price bar with every documented column."""
    return {"DateTime": "2024-01-02", "Open": close, "High": close, "Low": close, "Close": close, "Volume": 100}


@pytest.fixture
def service(sample_service_module):
    """A sample service of this test's own (its counters start at 0), logged in."""
    with sample_service_module.make_server(port=0) as server:
        Client.token = server.issue_token()
        yield server


def pricebars(ticker="FPT"):
    return quorvex.get_pricebars(ticker, "2024-01-01", "2024-01-31", "D")


@pytest.fixture
def base_url(monkeypatch):
    """Point the price-bar module at another server for this test: rebind(url)."""
    import quorvex.process_stock.pricebars as module

    return lambda url: monkeypatch.setattr(module, "base_url", url)


def test_modules_imported_after_configure_get_the_setting():
    result = run_python(
        "import json, quorvex; quorvex.configure(timeout=2.5)\n"
        "from quorvex.process_stock import dividend\n"
        "print(json.dumps([dividend.requests.timeout, type(dividend.requests).__name__]))"
    )
    assert result == [2.5, "ConfiguredRequests"]


def test_calls_after_configure_share_one_connection(service, base_url):
    base_url(service.base_url)
    quorvex.configure(timeout=10)
    tables = [pricebars() for _ in range(5)]
    assert service.requests == 5 and service.connections == 1
    assert all(table.equals(tables[0]) for table in tables)
    quorvex.configure()  # the default: a connection per call
    pricebars()
    assert service.connections == 2


@pytest.mark.timeout(120)
def test_configured_calls_leak_nothing(httpserver, logged_in, assert_no_leaks):
    httpserver.expect_request(PRICEBARS).respond_with_json([bar()])
    quorvex.configure(timeout=10, retries=1)
    assert_no_leaks(quorvex.get_pricebars, "FPT", "2024-01-01", "2024-01-31", "D")


# --- download ---


def by_ticker(request):
    """A pytest-httpserver handler: one price bar per ticker, its close the ticker's length."""
    return Response(json.dumps([bar(len(request.args["ticker"]))]), content_type="application/json")


TEN = [f"T{n}" + "X" * n for n in range(10)]


@pytest.mark.parametrize("workers", [1, 4])
def test_download_keeps_the_order_of_the_tickers(httpserver, logged_in, workers):
    httpserver.expect_request(PRICEBARS).respond_with_handler(by_ticker)
    tickers = np.array(TEN + TEN[:2])  # numpy texts; a repeated ticker is fetched once
    table = quorvex.download("pricebars", tickers, "2024-01-01", "2024-01-31", workers=workers, progress=False)
    assert len(httpserver.log) == len(TEN)
    assert list(table.columns) == ["ticker", "Open", "High", "Low", "Close", "Volume"]
    assert table.index.name == "DateTime"
    assert table["ticker"].tolist() == TEN and table["Close"].tolist() == [len(t) for t in TEN]


@pytest.mark.parametrize(
    "dataset, args",
    [
        ("pricebars", ("W",)),
        ("foreign", ("D", 1e9)),
        ("dealerDesk", ("MS", 1e6)),
        ("matchBook", ("D",)),
        ("dividend", ()),
    ],
)
def test_download_of_each_dataset_from_the_sample_service(service, monkeypatch, dataset, args):
    spec = remote.DATASETS[dataset]
    function = getattr(quorvex, spec.function)
    monkeypatch.setattr(sys.modules[spec.module], "base_url", service.base_url)
    tickers = ["VCB", "FPT", "HPG"]
    dates = ("2022-01-01", "2024-12-31") if dataset == "dividend" else ("2024-01-01", "2024-03-31")
    quorvex.configure(timeout=10)
    table = quorvex.download(dataset, tickers, *dates, *args, workers=3, progress=False)
    singles = [function(ticker, *dates, *args) for ticker in tickers]
    for ticker, single in zip(tickers, singles):
        if "ticker" not in single.columns:
            single.insert(0, "ticker", ticker)
    expected = pd.concat(singles, ignore_index=dataset == "dividend")
    pd.testing.assert_frame_equal(table, expected)
    assert table.columns[0] == "ticker" and table["ticker"].unique().tolist() == tickers


def test_download_threads_reuse_the_pool(sample_service_module, base_url):
    tickers = [f"X{n:03d}" for n in range(1, 21)]
    with sample_service_module.make_server(port=0, extra_tickers=20, latency_ms=20) as server:
        Client.token = server.issue_token()
        base_url(server.base_url)
        quorvex.configure(timeout=10)
        for _ in range(2):  # more threads than the pool held at first
            table = quorvex.download("pricebars", tickers, "2024-01-01", "2024-01-05", workers=20, progress=False)
            assert table["ticker"].tolist() == [t for t in tickers for _ in range(5)]
        assert server.requests == 40 and server.connections <= 20


def test_package_root_loads_on_first_use():
    result = run_python(
        "import json, sys, quorvex\n"
        "before = sorted(m for m in ('pandas', 'requests') if m in sys.modules)\n"
        "from quorvex.process_stock.foreign import get_foreign\n"
        "print(json.dumps([before, quorvex.get_foreign is get_foreign, 'download' in dir(quorvex),"
        " hasattr(quorvex, 'nothing'), quorvex.__all__ == sorted(quorvex._LAZY)]))"
    )
    assert result == [[], True, True, False, True]
