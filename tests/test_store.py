"""The history store under configure(store=...): the same tables as the service gives,
only the days not kept are asked for, and nothing fails however the file or its
neighbours behave. Against the sample service (which notes every range it is asked
for) and scripted servers on 127.0.0.1."""

import contextlib
import datetime
import importlib
import json
import os
import pathlib
import sqlite3
import sys
import textwrap
import warnings

import pandas as pd
import pytest
from werkzeug import Response

import quorvex
from helpers import PACKAGE_ROOT, price_rows
from quorvex import store as store_module
from quorvex.datasets import DATASETS
from quorvex.process_client.login import Client
from quorvex.store import StoreWarning

pytestmark = pytest.mark.timeout(60)

# Data set -> the arguments after the range, per period.
PERIODS = {
    "pricebars": [("D",), ("W",), ("MS",)],
    "foreign": [("D", 1), ("W", 1e6), ("MS", 1e9)],
    "dealerDesk": [("D", 1e3), ("W", 1), ("MS", 1e6)],
    "matchBook": [("D",), ("W",), ("MS",)],
    "dividend": [()],
}


def point(monkeypatch, base_url):
    for dataset in DATASETS.values():
        monkeypatch.setattr(importlib.import_module(dataset.module), "base_url", base_url)


@pytest.fixture
def service(sample_service_module, monkeypatch):
    """A sample service of this test's own, logged in, every data module pointed at it."""
    with sample_service_module.make_server(port=0, extra_tickers=64) as server:
        Client.token = server.issue_token()
        point(monkeypatch, server.base_url)
        yield server


def call(dataset, ticker, first, last, *extra):
    function = getattr(importlib.import_module(DATASETS[dataset].module), DATASETS[dataset].function)
    return function(ticker, first, last, *extra)


def asked(server):
    """The ranges asked since the last look, as (endpoint name, ticker, from, to)."""
    seen = [(path.rsplit("/", 1)[1], *rest) for path, *rest in server.asked]
    server.asked.clear()
    return seen


def day(offset):
    return (store_module.today() + datetime.timedelta(days=offset)).isoformat()


@pytest.mark.parametrize("dataset", list(DATASETS))
def test_tables_equal_the_services_for_every_dataset_and_period(service, tmp_path, dataset):
    """Filled, kept whole, and merged from kept rows and two new pieces: each time the
    table the service's own answer gives, dtypes and index included."""
    endpoint = DATASETS[dataset].endpoint.rpartition("/")[2]
    inner = ("2023-06-01", "2023-09-30")
    outer = ("2023-05-10", "2023-10-20") if dataset != "dividend" else ("2021-01-01", "2025-12-31")
    if dataset == "dividend":
        inner = ("2023-01-01", "2023-12-31")
    for extra in PERIODS[dataset]:
        quorvex.configure(timeout=10)
        expected = {span: call(dataset, "FPT", *span, *extra) for span in (inner, outer)}
        quorvex.configure(timeout=10, store=tmp_path / f"{dataset}{extra}.sqlite3")
        asked(service)
        for span, count in ((inner, 1), (inner, 0), (outer, 2), (outer, 0)):
            table = call(dataset, "FPT", *span, *extra)
            pd.testing.assert_frame_equal(table, expected[span])
            assert len(asked(service)) == count, (span, extra)
    quorvex.configure(timeout=10, store=tmp_path / "last.sqlite3")
    call(dataset, "FPT", *inner, *PERIODS[dataset][0])
    call(dataset, "FPT", *outer, *PERIODS[dataset][0])
    before, after = (
        str(datetime.date.fromisoformat(day) + datetime.timedelta(days=n)) for day, n in zip(inner, (-1, 1))
    )
    assert asked(service)[1:] == [(endpoint, "FPT", outer[0], before), (endpoint, "FPT", after, outer[1])]


def test_only_missing_days_and_the_recheck_window_are_asked(service, tmp_path):
    quorvex.configure(timeout=10, store=tmp_path / "h.sqlite3", recheck_days=3)
    call("pricebars", "VNM", "2024-01-01", "2024-01-31", "D")
    call("pricebars", "VNM", "2024-03-01", "2024-03-31", "D")
    call("pricebars", "VNM", "2024-05-01", "2024-05-31", "D")
    asked(service)
    # Four gaps (before, Feb, Apr, after) are asked as two requests at most.
    table = call("pricebars", "VNM", "2023-12-20", "2024-06-10", "D")
    pieces = asked(service)
    assert len(pieces) == 2 and pieces[0][2] == "2023-12-20" and pieces[-1][3] == "2024-06-10"
    quorvex.configure(timeout=10)
    pd.testing.assert_frame_equal(table, call("pricebars", "VNM", "2023-12-20", "2024-06-10", "D"))

    # A range up to today: its last three days (and the days after it) are asked again
    # every time; once they fall out of the window, a call asks them only once more.
    quorvex.configure(timeout=10, store=tmp_path / "h.sqlite3", recheck_days=3)
    asked(service)
    call("pricebars", "VNM", day(-30), day(5), "D")
    assert asked(service) == [("pricebars", "VNM", day(-30), day(5))]
    for _ in range(2):
        call("pricebars", "VNM", day(-30), day(5), "D")
        assert asked(service) == [("pricebars", "VNM", day(-2), day(5))]
    quorvex.configure(timeout=10, store=tmp_path / "h.sqlite3", recheck_days=0)
    call("pricebars", "VNM", day(-30), day(5), "D")
    assert asked(service) == [("pricebars", "VNM", day(-2), day(5))]
    call("pricebars", "VNM", day(-30), day(0), "D")
    assert asked(service) == []


def test_requests_the_store_cannot_answer_go_to_the_service_unchanged(service, tmp_path):
    quorvex.configure(timeout=10, store=tmp_path / "h.sqlite3")
    for args in [
        ("FPT", "2024-01-01", "2024-01-31"),
        ("FPT", "2024-01-01", "2024-01-31"),  # kept now: no request
        ("FPT", "2024-01-31", "2024-01-01"),  # reversed
        ("FPT", "2024-1-1", "2024-01-31"),  # not YYYY-MM-DD
        ("fpt", "2024-01-01", "2024-01-31"),  # another ticker as far as the store knows
    ]:
        try:
            call("foreign", *args, "D", 1)
        except ValueError as refused:  # the sample service takes only YYYY-MM-DD
            assert refused.response.status_code == 400 and args[1] == "2024-1-1"
    assert [piece[1:] for piece in asked(service)] == [
        ("FPT", "2024-01-01", "2024-01-31"),
        ("FPT", "2024-01-31", "2024-01-01"),
        ("FPT", "2024-1-1", "2024-01-31"),
        ("fpt", "2024-01-01", "2024-01-31"),
    ]


@pytest.fixture
def scripted(httpserver, logged_in, monkeypatch):
    """A price-bar service whose answers a test chooses: ``answer(request) -> Response``."""
    state = {"answer": None, "asked": []}

    def handler(request):
        args = request.args
        state["asked"].append((args["fromDate"], args["toDate"]))
        return state["answer"](args["fromDate"], args["toDate"])

    httpserver.expect_request("/api/stock/pricebars").respond_with_handler(handler)
    point(monkeypatch, httpserver.url_for("").rstrip("/"))
    return state


def ok(rows):
    return Response(json.dumps(rows), status=200, content_type="application/json")


def test_the_recheck_window_takes_what_the_service_says_now(scripted, tmp_path):
    quorvex.configure(timeout=10, store=tmp_path / "h.sqlite3", recheck_days=4)
    scripted["answer"] = lambda first, last: ok(price_rows(first, last, close=1))
    first = call("pricebars", "FPT", day(-20), day(0), "D")
    assert set(first["Close"]) == {1}
    scripted["answer"] = lambda first, last: ok(price_rows(first, last, close=2))
    second = call("pricebars", "FPT", day(-20), day(0), "D")
    recent = second.index >= pd.Timestamp(day(-3))
    assert set(second["Close"][recent]) <= {2} and set(second["Close"][~recent]) == {1}
    assert scripted["asked"] == [(day(-20), day(0)), (day(-3), day(0))]


def test_a_refused_or_unmergeable_piece(scripted, tmp_path):
    quorvex.configure(timeout=10, store=tmp_path / "h.sqlite3")
    scripted["answer"] = lambda first, last: ok(price_rows(first, last))
    call("pricebars", "FPT", "2024-01-01", "2024-01-31", "D")
    # A refusal of the missing days reaches the data function's own status check.
    scripted["answer"] = lambda first, last: Response('{"error": "gone"}', status=404)
    with pytest.raises(ValueError, match="404") as refused:
        call("pricebars", "FPT", "2024-01-01", "2024-02-29", "D")
    assert refused.value.response.status_code == 404
    # An answer with rows outside the days asked cannot be merged: the whole range is
    # asked as the function asked it, and its answer used as it came.
    scripted["answer"] = lambda first, last: ok(price_rows("2023-12-01", last, close=3))
    table = call("pricebars", "FPT", "2024-01-01", "2024-02-29", "D")
    assert scripted["asked"][-2:] == [("2024-02-01", "2024-02-29"), ("2024-01-01", "2024-02-29")]
    assert table.index[0] == pd.Timestamp("2023-12-01") and set(table["Close"]) == {3}


def test_a_corrupt_or_unreadable_store_warns_once_and_the_service_answers(service, tmp_path):
    corrupt = tmp_path / "corrupt.sqlite3"
    corrupt.write_bytes(b"not a database at all " * 500)
    folder = tmp_path / "folder.sqlite3"
    folder.mkdir()
    quorvex.configure(timeout=10)
    expected = call("dealerDesk", "VCB", "2024-01-01", "2024-02-15", "W", 1e6)
    for path in (corrupt, folder):
        quorvex.configure(timeout=10, store=path)
        asked(service)
        with pytest.warns(StoreWarning, match=str(path)):
            pd.testing.assert_frame_equal(call("dealerDesk", "VCB", "2024-01-01", "2024-02-15", "W", 1e6), expected)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            pd.testing.assert_frame_equal(call("dealerDesk", "VCB", "2024-01-01", "2024-02-15", "W", 1e6), expected)
        assert len(asked(service)) == 2
    assert corrupt.read_bytes().startswith(b"not a database")


def test_a_folder_that_cannot_be_written_keeps_nothing_quietly(service, tmp_path):
    places = [pathlib.Path("/proc/self/quorvex-store/h.sqlite3")]
    if os.geteuid() != 0:  # root writes into a folder whatever its mode
        locked = tmp_path / "locked"
        locked.mkdir()
        locked.chmod(0o555)
        places.append(locked / "h.sqlite3")
    for path in places:
        quorvex.configure(timeout=10, store=path)
        asked(service)
        for _ in range(2):
            assert len(call("matchBook", "HPG", "2024-01-01", "2024-01-31", "D")) > 0
        assert len(asked(service)) == 2 and not os.path.exists(path)


def test_an_older_layout_is_set_aside_and_a_newer_one_left_alone(service, tmp_path):
    older = tmp_path / "older.sqlite3"
    with contextlib.closing(sqlite3.connect(older)) as connection, connection:
        connection.execute("CREATE TABLE rows (ticker TEXT, day TEXT, body TEXT)")
        connection.execute("INSERT INTO rows VALUES ('FPT', '2024-01-02', '{}')")
    quorvex.configure(timeout=10, store=older)
    with pytest.warns(StoreWarning, match="older layout"):
        call("pricebars", "FPT", "2024-01-01", "2024-01-31", "D")
    call("pricebars", "FPT", "2024-01-01", "2024-01-31", "D")
    assert len(asked(service)) == 1
    assert [p.name.split("-")[0] for p in tmp_path.glob("older.sqlite3.layout*")] == ["older.sqlite3.layout0"]

    newer = tmp_path / "newer.sqlite3"
    with contextlib.closing(sqlite3.connect(newer)) as connection, connection:
        connection.execute("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)")
        connection.execute("INSERT INTO meta VALUES ('schema', '99')")
    quorvex.configure(timeout=10, store=newer)
    with pytest.warns(StoreWarning, match="newer quorvex"):
        call("pricebars", "FPT", "2024-01-01", "2024-01-31", "D")
    assert len(asked(service)) == 1
    with contextlib.closing(sqlite3.connect(newer)) as connection, connection:
        assert connection.execute("SELECT value FROM meta").fetchall() == [("99",)]


def test_32_workers_and_two_processes_on_one_store(service, tmp_path):
    path = tmp_path / "shared.sqlite3"
    tickers = [f"X{n:03d}" for n in range(1, 65)]
    child = textwrap.dedent(
        """
        import sys
        import quorvex
        from quorvex.process_client.login import Client
        Client.token = sys.argv[1]
        quorvex.configure(timeout=20, store=sys.argv[2])
        tickers = sys.argv[3].split(",")
        table = quorvex.download("pricebars", tickers, "2023-01-01", "2023-12-31", workers=16, progress=False)
        assert table["ticker"].nunique() == len(tickers)
        """
    )
    env = {**os.environ, "PYTHONPATH": PACKAGE_ROOT, "QUORVEX_BASE_URL": service.base_url}
    import subprocess

    token = Client.token  # one identity: the children's rows serve this process too
    # Two processes over overlapping halves, while this one runs 32 workers over all.
    children = [
        subprocess.Popen(
            [sys.executable, "-c", child, token, str(path), ",".join(part)], env=env, stderr=subprocess.PIPE
        )
        for part in (tickers[:40], tickers[24:])
    ]
    quorvex.configure(timeout=20, store=path)
    table = quorvex.download("pricebars", tickers, "2023-01-01", "2023-12-31", workers=32, progress=False)
    for process in children:
        _, err = process.communicate(timeout=50)
        assert process.returncode == 0, err.decode()
    asked(service)
    again = quorvex.download("pricebars", tickers, "2023-01-01", "2023-12-31", workers=32, progress=False)
    assert asked(service) == []
    pd.testing.assert_frame_equal(again, table)
    info = quorvex.remote.configured().store.info()
    assert len(info) == 64 and all(entry["ranges"] == [("2023-01-01", "2023-12-31")] for entry in info)
    assert {entry["rows"] for entry in info} == {260}


def test_store_true_follows_the_environment(monkeypatch, tmp_path):
    monkeypatch.delenv("QUORVEX_STORE", raising=False)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    assert store_module.resolve(True) == tmp_path / "cache" / "quorvex" / "history.sqlite3"
    monkeypatch.setenv("XDG_CACHE_HOME", "relative/ignored")
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    assert store_module.resolve(True) == tmp_path / "home" / ".cache" / "quorvex" / "history.sqlite3"
    monkeypatch.setenv("QUORVEX_STORE", str(tmp_path / "named.db"))
    assert store_module.resolve(True) == tmp_path / "named.db"
    assert store_module.resolve(tmp_path / "given.db") == tmp_path / "given.db"
    monkeypatch.setenv("QUORVEX_STORE", "0")
    assert store_module.resolve(True) is None
    quorvex.configure(store=True)
    assert quorvex.remote.configured() is None  # nothing asked for but a store there is not
    for value, error in [(7, TypeError), ("", ValueError)]:
        with pytest.raises(error):
            quorvex.configure(store=value)
    for value, error in [(-1, ValueError), (1.5, TypeError)]:
        with pytest.raises(error):
            quorvex.configure(store=tmp_path / "x.db", recheck_days=value)
