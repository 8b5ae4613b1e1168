"""What every data function shares: the request it sends, the answers it refuses
or cannot use, the empty answer, and a round trip through the sample service."""

import dataclasses
import importlib
import json
import socket
import threading
import warnings

import pandas as pd
import pytest
import requests
from pytest_httpserver import HTTPServer

from helpers import SERIES_PANDAS_WARNINGS, series_line
from quorvex.config import config
from quorvex.process_client.login import Client

pytestmark = [pytest.mark.filterwarnings(rule) for rule in SERIES_PANDAS_WARNINGS]

DATES = ["Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"]


@dataclasses.dataclass
class Fn:
    module: str  # short module name
    name: str
    path: str
    columns: list  # the service's columns (besides "DateTime" for the time series)
    unit: bool  # takes a unit after the period
    lines: dict  # source lines of the steps: client, headers, fetch, table, time (index), regroup, fail

    @property
    def mod(self):
        return importlib.import_module(f"quorvex.process_stock.{self.module}")

    @property
    def series(self):
        return self.module != "dividend"

    def __call__(self, ticker="FPT", fromDate="2024-01-01", toDate="2024-01-31", period="D"):
        args = [ticker, fromDate, toDate]
        if self.series:
            args.append(period)
        if self.unit:
            args.append(1000)
        return getattr(self.mod, self.name)(*args)

    def rows(self):
        """A valid two-row answer."""
        if not self.series:
            return [dict.fromkeys(DATES, "2024-01-0%d" % day) for day in (2, 3)]
        return [dict({"DateTime": f"2024-01-0{day}"}, **dict.fromkeys(self.columns, day)) for day in (2, 3)]

    def __str__(self):
        return self.module


FOREIGN_COLUMNS = [
    "Close", "buyForeignVolume", "sellForeignVolume", "buyForeignValue", "sellForeignValue", "netForeignValue",
]
FUNCTIONS = [
    Fn("pricebars", "get_pricebars", "/api/stock/pricebars", ["Open", "High", "Low", "Close", "Volume"], False,
       dict(client=10, headers=11, fetch=18, table=24, time=25, regroup=28, fail=40)),
    Fn("foreign", "get_foreign", "/api/stock/foreign", FOREIGN_COLUMNS, True,
       dict(client=8, headers=9, fetch=16, table=22, time=23, regroup=26, fail=39)),
    Fn("dealerDesk", "get_dealerDesk", "/api/stock/dealerDesk", ["dealerDeskNetValue"], True,
       dict(client=10, headers=11, fetch=18, table=24, time=25, regroup=28, fail=34)),
    Fn("matchBook", "get_match_book", "/api/stock/sAndD", ["buyCount", "buyVolume", "sellCount", "sellVolume"],
       False, dict(client=10, headers=11, fetch=18, table=24, time=25, regroup=28, fail=33)),
    Fn("dividend", "get_dividend", "/api/stock/diviend", DATES, False,
       dict(client=8, headers=9, fetch=16, table=22, dates=30, fail=33)),
]
SERIES = [fn for fn in FUNCTIONS if fn.series]
UNTYPED = [fn for fn in FUNCTIONS if fn.module != "pricebars"]

all_functions = pytest.mark.parametrize("fn", FUNCTIONS, ids=str)


def line(excinfo, fn):
    return series_line(excinfo.value, fn.module, fn.name)


def address(server):
    return server.url_for("/").rstrip("/")


# --- the request ------------------------------------------------------------------


@all_functions
@pytest.mark.parametrize("token", [None, "test-token"])
def test_request(httpserver, monkeypatch, fn, token):
    monkeypatch.setattr(Client, "token", token)
    httpserver.expect_request(fn.path, method="GET").respond_with_json(fn.rows())
    # A regrouping period and a unit: neither may reach the query.
    fn("fpt", "2024-01-01", "2024-01-31", period="W")
    (request, _), = httpserver.log
    assert (request.method, request.path) == ("GET", fn.path)
    assert request.query_string == b"ticker=fpt&fromDate=2024-01-01&toDate=2024-01-31"
    assert request.headers["Accept"] == "application/json"
    assert request.headers.get("Authorization") == (token and f"Bearer {token}")
    assert request.get_data() == b""


@pytest.mark.parametrize("fn", UNTYPED, ids=str)
@pytest.mark.parametrize("missing", ["ticker", "fromDate", "toDate"])
def test_none_argument_is_left_out_of_the_query(httpserver, fn, missing):
    httpserver.expect_request(fn.path).respond_with_json(fn.rows())
    args = {"ticker": "FPT", "fromDate": "2024-01-01", "toDate": "2024-01-31"}
    fn(**dict(args, **{missing: None}))
    query = "&".join(f"{key}={value}" for key, value in args.items() if key != missing)
    assert httpserver.log[0][0].query_string == query.encode()


@all_functions
def test_headers_are_the_clients_own(httpserver, monkeypatch, logged_in, fn):
    class Probe:
        def _get_headers(self):
            return {"X-Probe": "yes"}

    monkeypatch.setattr(fn.mod, "Client", Probe)
    httpserver.expect_request(fn.path).respond_with_json(fn.rows())
    fn()
    request = httpserver.log[0][0]
    assert request.headers["X-Probe"] == "yes"
    assert "Authorization" not in request.headers


@all_functions
def test_base_url_is_read_at_every_call(httpserver, monkeypatch, fn):
    other = HTTPServer(host="127.0.0.1", port=0)
    other.start()
    try:
        for server in (httpserver, other):
            server.expect_request(fn.path).respond_with_json(fn.rows())
        fn()
        monkeypatch.setattr(fn.mod, "base_url", address(other))
        fn()
        monkeypatch.undo()
        fn()
        assert (len(httpserver.log), len(other.log)) == (2, 1)
    finally:
        other.clear()
        other.stop()


class RawProxy:
    """A one-answer HTTP proxy that keeps each request line as sent.

    Through an HTTP proxy, requests sends the whole address on the request
    line, exactly as it was formed; sent directly, the path is rewritten on the
    way ("//api" becomes "/api") by urllib3 and again by http.server.
    """

    def __init__(self, body):
        self.body = json.dumps(body).encode()
        self.request_lines = []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.listener.getsockname()[1]

    def _serve(self):
        connection, _ = self.listener.accept()
        with connection:
            head = b""
            while b"\r\n\r\n" not in head:
                head += connection.recv(4096)
            self.request_lines.append(head.split(b"\r\n")[0].decode())
            connection.sendall(
                b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
                b"Content-Length: %d\r\n\r\n%s" % (len(self.body), self.body)
            )

    def close(self):
        self.thread.join(5)
        self.listener.close()


@all_functions
def test_base_url_is_formatted_and_joined_as_is(monkeypatch, fn):
    proxy = RawProxy(fn.rows())
    for name in ("HTTP_PROXY", "NO_PROXY", "no_proxy"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("http_proxy", proxy.url)

    class Address:
        def __format__(self, spec):
            assert spec == ""
            return "http://service.test/"

        def __str__(self):
            return "http://not-this.test"

    try:
        monkeypatch.setattr(fn.mod, "base_url", Address())
        fn()
    finally:
        proxy.close()
    # The trailing "/" is kept: two slashes precede the endpoint path.
    query = "?ticker=FPT&fromDate=2024-01-01&toDate=2024-01-31"
    assert proxy.request_lines == [f"GET http://service.test/{fn.path}{query} HTTP/1.1"]


# --- failures before and during the exchange ----------------------------------------


class Refused(Exception):
    pass


@all_functions
@pytest.mark.parametrize("step", ["client", "headers"])
def test_client_failures_pass_through(httpserver, monkeypatch, fn, step):
    error = Refused(step)

    class Failing:
        def __init__(self):
            if step == "client":
                raise error

        def _get_headers(self):
            raise error

    monkeypatch.setattr(fn.mod, "Client", Failing)
    with pytest.raises(Refused) as excinfo:
        fn()
    assert excinfo.value is error
    assert line(excinfo, fn) == fn.lines[step]
    assert httpserver.log == []


@all_functions
def test_connection_error_passes_through(monkeypatch, fn):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    monkeypatch.setattr(fn.mod, "base_url", f"http://127.0.0.1:{port}")
    with pytest.raises(requests.exceptions.ConnectionError) as excinfo:
        fn()
    assert line(excinfo, fn) == fn.lines["fetch"]


@all_functions
@pytest.mark.parametrize("status", [201, 204, 404, 500])
def test_status_other_than_200_is_refused(httpserver, fn, status):
    # The body is not JSON, so a decode attempt would show as another error.
    httpserver.expect_request(fn.path).respond_with_data("not here", status=status)
    with pytest.raises(ValueError) as excinfo:
        fn()
    content = "" if status == 204 else "not here"  # a 204 answer has no body
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == (f"Có lỗi xảy ra\nChi tiết: \nstatus:{status}\ncontent: {content}",)
    assert excinfo.value.__context__ is None
    assert line(excinfo, fn) == fn.lines["fail"]


@all_functions
def test_body_that_is_not_json(httpserver, fn):
    httpserver.expect_request(fn.path).respond_with_data("not json", content_type="text/plain")
    with pytest.raises(requests.exceptions.JSONDecodeError) as excinfo:
        fn()
    assert line(excinfo, fn) == fn.lines["table"]


@all_functions
@pytest.mark.parametrize("body", [{}, None, [{"Close": 1}]], ids=["object", "null", "no DateTime"])
def test_body_without_the_columns(httpserver, fn, body):
    # Only an empty array stands for "no rows"; these reach pandas' KeyError.
    httpserver.expect_request(fn.path).respond_with_json(body)
    with pytest.raises(KeyError) as excinfo:
        fn()
    assert excinfo.value.args == (("DateTime",) if fn.series else (DATES[0],))
    assert line(excinfo, fn) == fn.lines["time" if fn.series else "dates"]


# --- the empty answer ---------------------------------------------------------------


@all_functions
@pytest.mark.parametrize("period", ["D", "W"])
def test_empty_array_gives_an_empty_table(httpserver, fn, period):
    httpserver.expect_request(fn.path).respond_with_json([])
    table = fn(period=period)
    assert len(table) == 0
    if not fn.series:
        assert list(table.columns) == DATES
        assert [table[name].dtype.kind for name in DATES] == ["M"] * 3
        assert type(table.index) is pd.RangeIndex
        return
    assert type(table.index) is pd.DatetimeIndex and table.index.name == "DateTime"
    assert list(table.columns) == (fn.columns if period == "D" else ["ticker", *fn.columns])


@pytest.mark.parametrize(
    "fn, period",
    [pytest.param(fn, period, id=f"{fn}-{period}") for fn in SERIES for period in ("not-a-rule", None)
     if fn.module != "pricebars" or period is not None],  # get_pricebars takes only str
)
@pytest.mark.parametrize("empty", [False, True], ids=["rows", "empty"])
def test_rule_pandas_refuses(httpserver, fn, period, empty):
    httpserver.expect_request(fn.path).respond_with_json([] if empty else fn.rows())
    with pytest.raises(Exception) as refused:
        pd.DataFrame({"x": [1]}, index=pd.DatetimeIndex(["2024-01-02"])).resample(period)
    with pytest.raises(Exception) as excinfo:
        fn(period=period)
    assert type(excinfo.value) is type(refused.value) and excinfo.value.args == refused.value.args
    assert line(excinfo, fn) == fn.lines["regroup"]


# --- warnings -----------------------------------------------------------------------


@pytest.mark.parametrize("fn", FUNCTIONS, ids=str)
@pytest.mark.parametrize("period", ["D", "W"])
def test_calls_warn_nothing(httpserver, fn, period):
    # pandas takes a column assignment on a table that only C code holds for
    # a chained assignment (it judges by the reference count), and deprecates
    # set_index(..., inplace=True): a sound call makes it say nothing.
    httpserver.expect_request(fn.path).respond_with_json(fn.rows())
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        fn(period=period)


# --- the sample service ---------------------------------------------------------------


@pytest.fixture
def sample(sample_service, monkeypatch):
    """Point the login client and every data module at the sample service."""
    monkeypatch.setattr(config, "base_url", sample_service)
    for fn in FUNCTIONS:
        monkeypatch.setattr(fn.mod, "base_url", sample_service)
    return sample_service


@all_functions
def test_sample_service_round_trip(sample, fn):
    token = Client().login("demo", "demo")
    # The dividend events of FPT in this quarter include a "-" amount and execution date.
    dates = ("2024-01-01", "2024-03-31") if fn.series else ("2023-07-01", "2023-09-30")
    rows = requests.get(
        sample + fn.path,
        params={"ticker": "FPT", "fromDate": dates[0], "toDate": dates[1]},
        headers={"Authorization": f"Bearer {token}"},
    ).json()
    assert rows
    table = fn("FPT", *dates)
    assert len(table) == len(rows)
    if not fn.series:
        assert list(table.columns) == list(rows[0]) and table[DATES[2]].isna().any()
        dashes = [(i, name) for i, row in enumerate(rows) for name, cell in row.items() if cell == "-"]
        assert dashes and all(pd.isna(table.at[i, name]) for i, name in dashes)
        assert list(table[DATES[0]]) == [pd.Timestamp(row[DATES[0]]) for row in rows]
        return
    assert list(table.index) == [pd.Timestamp(row["DateTime"]) for row in rows]
    assert list(table.columns) == [name for name in rows[0] if name != "DateTime"]
    weekly = fn("FPT", *dates, period="W")
    assert list(weekly.columns) == ["ticker", *fn.columns]
    assert set(weekly["ticker"]) == {"FPT"}
    weeks = {pd.Timestamp(row["DateTime"]).isocalendar()[1] for row in rows
             if fn.module != "matchBook" or any(row[name] for name in fn.columns)}
    assert len(weekly) == len(weeks)
    if fn.module == "matchBook":
        assert len(weekly) < 13  # the quarter holds a week without any figures
    if fn.module == "pricebars":
        assert (weekly["Low"] <= weekly[["Open", "Close"]].min(axis=1)).all()
        assert (weekly["High"] >= weekly[["Open", "Close"]].max(axis=1)).all()


@all_functions
def test_sample_service_refuses_without_login(sample, logged_out, fn):
    with pytest.raises(ValueError) as excinfo:
        fn("FPT", "2024-01-01", "2024-03-31")
    assert str(excinfo.value) == (
        "Có lỗi xảy ra\nChi tiết: \nstatus:401\n"
        'content: {"error": "missing or unknown bearer token; log in first"}'
    )
    assert line(excinfo, fn) == fn.lines["fail"]
