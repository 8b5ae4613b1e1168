"""What the five data functions share: the request, the answers they refuse or
cannot use, the empty answer, and a round trip through the sample service. Warnings are
errors (pyproject's filterwarnings): a call that warns, on "D" or "W", fails here."""

import importlib
import types
from http import HTTPStatus

import pandas as pd
import pytest
import requests

from helpers import STEP_LINES, series_line
from quorvex.config import config
from quorvex.datasets import DATASETS
from quorvex.process_client.login import Client

DATES = ["Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"]


class Fn:
    def __init__(self, module, name, endpoint, columns):
        self.module, self.name, self.path, self.columns = module, name, "/api/stock/" + endpoint, columns
        self.series = module != "dividend"
        self.lines = STEP_LINES[module]
        self.unit = "scale" in self.lines

    @property
    def mod(self):
        return importlib.import_module(f"quorvex.process_stock.{self.module}")

    def __call__(self, ticker="FPT", fromDate="2024-01-01", toDate="2024-01-31", period="D"):
        args = [ticker, fromDate, toDate] + [period] * self.series + [1000] * self.unit
        return getattr(self.mod, self.name)(*args)

    def rows(self):
        if not self.series:
            return [dict.fromkeys(DATES, f"2024-01-0{day}") for day in (2, 3)]
        return [{"DateTime": f"2024-01-0{day}", **dict.fromkeys(self.columns, day)} for day in (2, 3)]

    def __repr__(self):
        return self.module


# Every data set of the registry, with the figures its answer carries (the dividend: its dates).
FUNCTIONS = [
    Fn(name, d.function, d.endpoint.rpartition("/")[2], list(d.figures) if d.is_series else DATES)
    for name, d in DATASETS.items()
]
all_functions = pytest.mark.parametrize("fn", FUNCTIONS, ids=str)


def line(excinfo, fn):
    return series_line(excinfo.value, fn.module, fn.name)


@all_functions
@pytest.mark.parametrize("token", [None, "test-token"])
def test_request(httpserver, monkeypatch, fn, token):
    monkeypatch.setattr(Client, "token", token)
    httpserver.expect_request(fn.path, method="GET").respond_with_json(fn.rows())
    fn("fpt", "2024-01-01", "2024-01-31", period="W")  # neither period nor unit reaches the query
    ((request, _),) = httpserver.log
    assert request.query_string == b"ticker=fpt&fromDate=2024-01-01&toDate=2024-01-31"
    assert request.headers["Accept"] == "application/json"
    assert request.headers.get("Authorization") == (token and f"Bearer {token}")
    assert request.get_data() == b""


@pytest.mark.parametrize("fn", FUNCTIONS[1:], ids=str)
@pytest.mark.parametrize("missing", ["ticker", "fromDate", "toDate"])
def test_none_argument_is_left_out_of_the_query(httpserver, fn, missing):
    httpserver.expect_request(fn.path).respond_with_json(fn.rows())
    args = {"ticker": "FPT", "fromDate": "2024-01-01", "toDate": "2024-01-31"}
    fn(**dict(args, **{missing: None}))
    query = "&".join(f"{key}={value}" for key, value in args.items() if key != missing)
    assert httpserver.log[0][0].query_string == query.encode()


@all_functions
@pytest.mark.parametrize("step", ["client", "headers", None])
def test_headers_come_from_the_client(httpserver, monkeypatch, logged_in, fn, step):
    error = LookupError(step)

    class Stub:
        def __init__(self):
            if step == "client":
                raise error

        def _get_headers(self):
            if step:
                raise error
            return {"X-Probe": "yes"}

    monkeypatch.setattr(fn.mod, "Client", Stub)
    httpserver.expect_request(fn.path).respond_with_json(fn.rows())
    if step is None:
        fn()
        headers = httpserver.log[0][0].headers
        assert headers["X-Probe"] == "yes" and "Authorization" not in headers
        return
    with pytest.raises(LookupError) as excinfo:
        fn()
    assert excinfo.value is error and line(excinfo, fn) == fn.lines[step]
    assert httpserver.log == []


@all_functions
def test_base_url_is_formatted_at_every_call(httpserver, monkeypatch, fn):
    class Address:
        def __format__(self, spec):
            return httpserver.url_for("/v2/") if spec == "" else "bad"

        def __str__(self):
            return "http://not-this.test"

    class Text(str):
        """A str whose formatting differs from its text, asked again at every call."""

        def __format__(self, spec):
            self.asked += 1
            return httpserver.url_for(f"/v{self.asked + 2}/")

    text = Text("http://not-this.test")
    text.asked = 0
    # The trailing "/" is kept: two slashes precede the endpoint path.
    for path in (fn.path, *(f"/v{n}/" + fn.path for n in (2, 3, 4))):
        httpserver.expect_request(path).respond_with_json(fn.rows())
    fn()
    monkeypatch.setattr(fn.mod, "base_url", Address())
    fn()
    monkeypatch.setattr(fn.mod, "base_url", text)
    fn()
    fn()
    monkeypatch.undo()
    fn()
    fn()
    versions = [f"/v{n}/" + fn.path for n in (2, 3, 4)]
    assert [request.path for request, _ in httpserver.log] == [fn.path, *versions, fn.path, fn.path]


@all_functions
def test_module_attributes_are_read_at_every_call(httpserver, monkeypatch, fn):
    """`requests` and `pd` as modules of their own: an attribute set on one counts from the
    next call on, and once it is gone the module-level __getattr__ answers again."""
    httpserver.expect_request(fn.path).respond_with_json(fn.rows())
    seen = []

    def counted(name, real):
        def call(*args, **kwargs):
            seen.append(name)
            return real(*args, **kwargs)

        return call

    modules = {"requests": (requests, ["get"]), "pd": (pd, ["DataFrame", "to_datetime"])}
    for global_name, (real, _) in modules.items():
        stand_in = types.ModuleType(real.__name__)
        stand_in.__getattr__ = lambda name, real=real: getattr(real, name)
        monkeypatch.setattr(fn.mod, global_name, stand_in)
    fn()
    for global_name, (real, names) in modules.items():
        for name in names:
            setattr(getattr(fn.mod, global_name), name, counted(name, getattr(real, name)))
    fn()
    for global_name, (_, names) in modules.items():
        for name in names:
            delattr(getattr(fn.mod, global_name), name)
    fn()
    assert seen == ["get", "DataFrame"] + ["to_datetime"] * (1 if fn.series else len(DATES))
    assert len(httpserver.log) == 3


@all_functions
@pytest.mark.parametrize(
    "status, accepted",
    [(HTTPStatus.OK, True), (200.0, True), (2**70 + 200, False), (HTTPStatus.NOT_FOUND, False)],
    ids=["HTTPStatus.OK", "float", "huge int", "HTTPStatus.NOT_FOUND"],
)
def test_status_compares_as_python_compares_it(httpserver, monkeypatch, fn, status, accepted):
    httpserver.expect_request(fn.path).respond_with_json(fn.rows())

    def get(**kwargs):
        response = requests.get(**kwargs)
        response.status_code = status
        return response

    monkeypatch.setattr(fn.mod, "requests", types.SimpleNamespace(get=get))
    if accepted:
        assert len(fn()) == len(fn.rows())
    else:
        with pytest.raises(ValueError, match="^Có lỗi xảy ra"):
            fn()


@all_functions
def test_refusal_message_formats_each_status_as_python_does(httpserver, monkeypatch, fn):
    # The message of one status value is reused for the next refusal with that value;
    # a status that is not exactly an int, or an int too large to reuse, is formatted
    # afresh, as is a body that is not exactly a str. A body read that refuses another
    # call with another status leaves this call's message whole.
    class Coded(int):
        def __format__(self, spec):
            return f"coded {int(self)}"

    class Body(str):
        def __format__(self, spec):
            return "formatted body"

    class Answer(requests.Response):
        @property
        def text(self):
            return self.body() if callable(self.body) else self.body

    def refused_inside():
        queue.append((500, "inner"))
        with pytest.raises(ValueError, match="status:500\ncontent: inner$"):
            fn()
        return "outer"

    answers = [
        (404, "gone", "gone"),
        (Coded(404), "gone", "gone"),
        (404, Body("gone"), "formatted body"),
        (2**70 + 404, "big", "big"),
        (HTTPStatus.NOT_FOUND, "enum", "enum"),
        (500, "down", "down"),
        (404, "again", "again"),
        (404, refused_inside, "outer"),
    ]
    queue = []

    def get(**kwargs):
        response = requests.get(**kwargs)
        response.__class__ = Answer
        response.status_code, response.body = queue.pop(0)
        return response

    httpserver.expect_request(fn.path).respond_with_json(fn.rows())
    monkeypatch.setattr(fn.mod, "requests", types.SimpleNamespace(get=get))
    for status, body, text in answers:
        queue.append((status, body))
        with pytest.raises(ValueError) as excinfo:
            fn()
        assert excinfo.value.args == (f"Có lỗi xảy ra\nChi tiết: \nstatus:{status}\ncontent: {text}",)
        assert excinfo.value.response.status_code is status and line(excinfo, fn) == fn.lines["fail"]


# get_pricebars takes only an exact str as its period.
@pytest.mark.parametrize("fn", [fn for fn in FUNCTIONS if fn.series and fn.module != "pricebars"], ids=str)
def test_period_compares_as_python_compares_it(httpserver, fn):
    class SaysDaily(str):
        def __ne__(self, other):
            return False

    httpserver.expect_request(fn.path).respond_with_json(fn.rows())
    assert list(fn(period="W").columns)[0] == "ticker"
    assert list(fn(period=SaysDaily("W")).columns)[0] != "ticker"


@all_functions
def test_connection_error_passes_through(monkeypatch, fn, closed_port):
    monkeypatch.setattr(fn.mod, "base_url", closed_port)
    with pytest.raises(requests.exceptions.ConnectionError) as excinfo:
        fn()
    assert line(excinfo, fn) == fn.lines["get"]


@all_functions
@pytest.mark.parametrize("status", [201, 204, 404, 500])
def test_status_other_than_200_is_refused(httpserver, fn, status):
    # The body is not JSON, so a decode attempt would show as another error.
    httpserver.expect_request(fn.path).respond_with_data("not here", status=status)
    with pytest.raises(ValueError) as excinfo:
        fn()
    content = "" if status == 204 else "not here"  # a 204 answer has no body
    assert type(excinfo.value) is ValueError and excinfo.value.__context__ is None
    assert excinfo.value.args == (f"Có lỗi xảy ra\nChi tiết: \nstatus:{status}\ncontent: {content}",)
    assert line(excinfo, fn) == fn.lines["fail"]


@all_functions
@pytest.mark.parametrize("body", ["not json", "{}", "null", '[{"Close": 1}]'])
def test_unusable_body(httpserver, fn, body):
    # Only an empty array stands for "no rows"; the others reach pandas' KeyError.
    httpserver.expect_request(fn.path).respond_with_data(body, content_type="application/json")
    error = requests.exceptions.JSONDecodeError if body == "not json" else KeyError
    with pytest.raises(error) as excinfo:
        fn()
    if error is KeyError:
        assert excinfo.value.args == ("DateTime" if fn.series else DATES[0],)
    assert line(excinfo, fn) == fn.lines["to_datetime" if error is KeyError else "table"]


@all_functions
@pytest.mark.parametrize("period", ["D", "W"])
def test_empty_array_gives_an_empty_table(httpserver, fn, period):
    httpserver.expect_request(fn.path).respond_with_json([])
    table = fn(period=period)
    assert len(table) == 0
    if not fn.series:
        assert list(table.columns) == DATES and type(table.index) is pd.RangeIndex
        assert [table[name].dtype.kind for name in DATES] == ["M"] * 3
        return
    assert type(table.index) is pd.DatetimeIndex and table.index.name == "DateTime"
    assert list(table.columns) == (fn.columns if period == "D" else ["ticker", *fn.columns])
    # Figures stay numeric: concatenated with a real table, they keep its numbers numbers.
    assert [table[name].dtype for name in fn.columns] == ["float64"] * len(fn.columns)


@pytest.mark.parametrize(  # get_pricebars takes only str
    "fn, period",
    [(fn, p) for fn in FUNCTIONS[:4] for p in ("not-a-rule", None) if fn.module != "pricebars" or p],
    ids=str,
)
@pytest.mark.parametrize("empty", [False, True])
def test_rule_pandas_refuses(httpserver, fn, period, empty):
    httpserver.expect_request(fn.path).respond_with_json([] if empty else fn.rows())
    with pytest.raises(Exception) as refused:
        pd.DataFrame({"x": [1]}, index=pd.DatetimeIndex(["2024-01-02"])).resample(period)
    with pytest.raises(Exception) as excinfo:
        fn(period=period)
    assert type(excinfo.value) is type(refused.value) and excinfo.value.args == refused.value.args
    assert line(excinfo, fn) == fn.lines["regroup"]


@all_functions
def test_sample_service(sample_service, monkeypatch, fn):
    monkeypatch.setattr(config, "base_url", sample_service)
    monkeypatch.setattr(fn.mod, "base_url", sample_service)
    Client().login("demo", "demo")
    # FPT's dividend events of 2023 include a "-" amount and execution date.
    table = fn("FPT", "2024-01-01" if fn.series else "2023-07-01", "2024-03-31")
    assert len(table) > 0 and set(fn.columns) <= set(table.columns)
    if fn.series:
        weekly = fn("FPT", "2024-01-01", "2024-03-31", period="W")
        assert list(weekly.columns) == ["ticker", *fn.columns] and set(weekly["ticker"]) == {"FPT"}
        assert 0 < len(weekly) <= 14
    else:
        assert table[DATES[2]].isna().any() and [table[name].dtype.kind for name in DATES] == ["M"] * 3
    Client.token = None
    with pytest.raises(ValueError) as excinfo:
        fn()
    assert str(excinfo.value) == (
        'Có lỗi xảy ra\nChi tiết: \nstatus:401\ncontent: {"error": "missing or unknown bearer token; log in first"}'
    )
    assert line(excinfo, fn) == fn.lines["fail"]
