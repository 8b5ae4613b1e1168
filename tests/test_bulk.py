"""download's bulk path: the same table (or the same errors) as calling the data
function for every ticker, for the sample service's data and for generated answers
served by a real server; the specified path wherever the bulk path cannot stand in for
it; and the compiled decoder's own contract (exact values, what it declines, no leaks)."""

import json
import math
import sys
import time
import urllib.parse

import numpy as np
import pandas as pd
import pytest
import requests
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from werkzeug import Response

import quorvex
from hostile_servers import Answer, HostileServer
from quorvex import _rows, bulk, remote, service
from quorvex.datasets import DATASETS
from quorvex.process_client.login import Client

pytestmark = pytest.mark.timeout(120)

SERIES = [name for name, spec in DATASETS.items() if spec.is_series]


@pytest.fixture
def decoded_count(monkeypatch):
    """How many answers the bulk path decoded itself (not through the data function)."""
    counts = {"decoded": 0}

    class Counting:
        @staticmethod
        def decode(*args):
            decoded = _rows.decode(*args)
            counts["decoded"] += decoded is not None
            return decoded

    monkeypatch.setattr(bulk, "_rows", Counting)
    return counts


def outcome(*args, **kwargs):
    """download's table, or its DownloadError as (table, {ticker: (type, message)})."""
    try:
        return quorvex.download(*args, progress=False, **kwargs), None
    except quorvex.DownloadError as error:
        return error.table, {name: (type(e), str(e)) for name, e in error.errors.items()}


def assert_same(left, right):
    (table, errors), (expected, expected_errors) = left, right
    assert errors == expected_errors
    if expected is None:
        assert table is None
    else:
        pd.testing.assert_frame_equal(table, expected)


# --- The sample service: every data set, period and unit ---------------------------------------


@pytest.fixture
def sample(sample_service_module):
    with sample_service_module.make_server(port=0, extra_tickers=6) as server:
        before = service.base_url()
        quorvex.set_base_url(server.base_url)
        Client.token = server.issue_token()
        try:
            yield server
        finally:
            quorvex.set_base_url(before)


@pytest.mark.parametrize("dataset", SERIES)
def test_the_bulk_table_is_the_per_ticker_table(sample, decoded_count, dataset):
    spec = DATASETS[dataset]
    tickers = ["VCB", "X001", "FPT", "NOSUCH", "X002", "HPG"]
    quorvex.configure(timeout=30)
    periods = ["D", "W", "MS"] if spec.has_period else ["D"]
    units = [1, 1e9, 7] if spec.has_unit else [1]
    for period in periods:
        for unit in units:
            args = ("2023-11-01", "2024-02-29", period) + ((unit,) if spec.has_unit else ())
            before = decoded_count["decoded"]
            assert_same(outcome(dataset, tickers, *args), outcome(dataset, tickers, *args, bulk=False))
            # Every known ticker decoded by the bulk path itself, whatever the period.
            assert decoded_count["decoded"] - before == 5
    # A range with no rows anywhere, and one ticker alone.
    for chosen in (tickers, ["FPT"]):
        args = ("1990-01-01", "1990-01-31", "D") + ((1,) if spec.has_unit else ())
        assert_same(outcome(dataset, chosen, *args), outcome(dataset, chosen, *args, bulk=False))


def test_the_store_and_the_bulk_path_give_the_service_table(sample, tmp_path, decoded_count):
    tickers = ["VCB", "FPT", "X003"]
    args = ("2023-01-02", "2023-06-30")
    quorvex.configure(timeout=30)
    expected = quorvex.download("pricebars", tickers, *args, progress=False, bulk=False)
    quorvex.configure(timeout=30, store=tmp_path / "history.sqlite3")
    for _ in range(2):  # filled by the first run, read by the second
        before = sample.requests
        pd.testing.assert_frame_equal(quorvex.download("pricebars", tickers, *args, progress=False), expected)
    assert sample.requests == before and decoded_count["decoded"] == 6


# --- The specified path stays observable -----------------------------------------------------


class CountingPandas:
    """pandas, counting the tables made through it."""

    def __init__(self):
        self.tables = 0

    def __getattr__(self, name):
        return getattr(pd, name)

    def DataFrame(self, *args, **kwargs):
        self.tables += 1
        return pd.DataFrame(*args, **kwargs)


def test_a_rebound_global_or_a_session_of_ones_own_calls_the_data_functions(sample, monkeypatch, decoded_count):
    import requests

    import quorvex.process_stock.foreign as module

    tickers = ["VCB", "FPT", "HPG"]
    args = ("2024-01-01", "2024-01-31", "D", 1e9)
    quorvex.configure(timeout=30)
    expected = quorvex.download("foreign", tickers, *args, progress=False)
    assert decoded_count["decoded"] == 3

    counting = CountingPandas()
    monkeypatch.setattr(module, "pd", counting)
    pd.testing.assert_frame_equal(quorvex.download("foreign", tickers, *args, progress=False), expected)
    assert counting.tables == 3 and decoded_count["decoded"] == 3
    monkeypatch.undo()

    with requests.Session() as session:
        quorvex.configure(session=session, timeout=30)
        pd.testing.assert_frame_equal(quorvex.download("foreign", tickers, *args, progress=False), expected)
    quorvex.configure()  # the default: plain requests.get inside each data function
    pd.testing.assert_frame_equal(quorvex.download("foreign", tickers, *args, progress=False), expected)
    assert decoded_count["decoded"] == 3


# --- Generated answers from a real server -------------------------------------------------------

PRICEBARS = DATASETS["pricebars"]

integers = st.integers(min_value=-(2**63), max_value=2**63 - 1) | st.integers(-5, 5)
floats = st.floats(allow_nan=False, allow_infinity=False) | st.sampled_from([0.0, -0.0, 0.1, 1e300, 5e-324])
# Mostly the regular shape, sometimes what the decoder must leave to the data function.
cells = st.one_of(integers, floats, st.none(), st.sampled_from([True, "12", 2**64, "NaN"]))
days = st.dates(min_value=pd.Timestamp("1999-01-01").date(), max_value=pd.Timestamp("2030-12-31").date())


@st.composite
def answers(draw, figures=PRICEBARS.figures, shape=None):
    """One ticker's answer: (status, body bytes); ``shape``: the order of its keys and
    the form of its dates, else its own."""
    kind = draw(st.sampled_from(["rows"] * 6 + ["empty", "refused", "not json", "odd"]))
    if kind == "empty":
        return 200, b"[]"
    if kind == "refused":
        return 404, b'{"error": "unknown ticker"}'
    if kind == "not json":
        return 200, b"<html>busy</html>"
    columns, form = shape or draw(shapes(figures))
    # A column of integers alone, or of integers, floats and nulls.
    figure = {column: draw(st.sampled_from([integers, st.one_of(integers, floats, st.none())])) for column in columns}
    count = draw(st.integers(1, 12))
    rows = []
    for at in range(count):
        day = draw(days)
        row = {}
        for column in columns:
            if column == "DateTime":
                row[column] = pd.Timestamp(day).strftime(form) if at or kind != "odd" else day.toordinal()
            else:
                row[column] = draw(cells if kind == "odd" else figure[column])
        if kind == "odd" and draw(st.booleans()):
            row.pop(draw(st.sampled_from(columns)))
        rows.append(row)
    separators = draw(st.sampled_from([(",", ":"), (", ", ": "), (" ,\n", " :\t")]))
    return 200, json.dumps(rows, separators=separators).encode()


@st.composite
def shapes(draw, figures):
    columns = ["DateTime", *figures]
    if draw(st.booleans()):
        columns = draw(st.permutations(columns))
    return columns, draw(st.sampled_from(["%Y-%m-%d", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M:%S"]))


@st.composite
def downloads(draw):
    """A data set with its unit, a period, and each ticker's answer (mostly of one shape)."""
    dataset, unit = draw(
        st.sampled_from([("pricebars", ()), ("pricebars", ()), ("foreign", (7,)), ("dealerDesk", (1e9,))])
    )
    figures = DATASETS[dataset].figures
    shape = draw(st.none() | shapes(figures) | shapes(figures))
    generated = draw(st.lists(answers(figures, shape), min_size=1, max_size=5))
    return dataset, unit, draw(st.sampled_from(["D", "D", "W", "MS", "7D"])), generated


def _rows_of(count, other, dataset="pricebars"):
    """``count`` days of rows: the first figure the day, the second 2.5, the others ``other``."""
    figures = DATASETS[dataset].figures
    cells = lambda day: [day, 2.5, *[other] * len(figures)][: len(figures)]  # noqa: E731
    rows = [{"DateTime": f"2024-01-{day:02}", **dict(zip(figures, cells(day)))} for day in range(1, count + 1)]
    return 200, json.dumps(rows).encode()


@given(downloads())
# A short ticker first, then longer ones: the buffers grow twice.
@example(("pricebars", (), "D", [_rows_of(1, 1), _rows_of(4, 0.5), _rows_of(12, 7)]))
# A long ticker first: the table gets buffers its own size.
@example(("foreign", (7,), "D", [_rows_of(12, 1, "foreign"), _rows_of(1, 0.5, "foreign"), _rows_of(2, 3, "foreign")]))
@settings(max_examples=60, deadline=None, database=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
def test_generated_answers_give_the_per_ticker_outcome(httpserver, logged_in, monkeypatch, generated):
    """Whatever each ticker answers, and in whatever order the answers come, the bulk
    table is the per-ticker one: its cells copied as they come into buffers that grow,
    int64 and float64 cells of one column joined, scaled figures divided a few cells at
    a time where they lie."""
    monkeypatch.setattr(bulk, "_SLICE", 3)
    dataset, unit, period, generated = generated
    served = {f"T{at}": answer for at, answer in enumerate(generated)}

    def handler(request):
        status, body = served[request.args["ticker"]]
        return Response(body, status=status, content_type="application/json")

    httpserver.clear()
    httpserver.expect_request(DATASETS[dataset].endpoint).respond_with_handler(handler)
    quorvex.configure(timeout=30)
    args = (dataset, list(served), "1999-01-01", "2030-12-31", period, *unit)
    httpserver.clear_log()
    bulk_outcome = outcome(*args, workers=3)
    assert len(httpserver.log) == len(served)  # what the decoder declines is not asked again
    assert_same(bulk_outcome, outcome(*args, workers=3, bulk=False))


ROWS = [{"DateTime": "2024-01-02", "Open": 1, "High": 2, "Low": 1, "Close": 2, "Volume": 10}]


@pytest.mark.parametrize(
    "status, body",
    [
        (201, json.dumps(ROWS)),  # rows under another 2xx status: refused as any non-200
        (203, json.dumps(ROWS)),
        (299, json.dumps(ROWS)),
        (500, '{"error": "busy"}'),  # a failed request: its error, asked once
        (200, json.dumps([{**ROWS[0], "DateTime": "1900-02-29"}])),  # not a day in 1900
        (200, json.dumps([{**ROWS[0], "DateTime": "2023-02-29"}])),
        (200, json.dumps([{**ROWS[0], "DateTime": "2024-02-30"}])),
    ],
    ids=["201", "203", "299", "500", "1900-02-29", "2023-02-29", "2024-02-30"],
)
def test_each_status_and_odd_day_gives_the_per_ticker_outcome_in_one_request(httpserver, logged_in, status, body):
    """Catches a bulk path that makes a table of an answer the data function refuses, sends
    a failed request again, or turns a day that does not exist into the next one."""
    httpserver.expect_request("/api/stock/pricebars").respond_with_response(
        Response(body, status=status, content_type="application/json")
    )
    quorvex.configure(timeout=30)
    args = ("pricebars", ["AAA", "BBB"], "1900-01-01", "2030-12-31")
    httpserver.clear_log()
    bulk_outcome = outcome(*args, workers=2)
    assert len(httpserver.log) == 2
    assert bulk_outcome[1] is not None, "a table where the data function refuses"
    assert_same(bulk_outcome, outcome(*args, workers=2, bulk=False))


def script(request, attempt):
    """Per ticker, what the service does with its ``attempt``-th request to that address."""
    query = urllib.parse.urlsplit(request.target).query
    scripted = {
        "RETRY": Answer(status=503, headers={"Retry-After": "0.3"}) if attempt == 1 else None,
        "MOVED": None if request.path == "/moved" else Answer(status=302, headers={"Location": "/moved?" + query}),
        "DROP": Answer(drop=True),
        "CUT": Answer(body=json.dumps(ROWS * 3).encode(), cut_after=20),
        "SLOW": Answer(silent=True),
        "HUGE": Answer(body=b"[" + b" " * 50_000 + b"]"),
    }
    return scripted.get(ticker_of(request.target)) or Answer(body=json.dumps(ROWS).encode())


def ticker_of(target):
    return urllib.parse.parse_qs(urllib.parse.urlsplit(target).query)["ticker"][0]


@pytest.fixture
def at(logged_in):
    """``at(server)``: the service's address is the server's until the test ends."""
    before = service.base_url()
    yield lambda server: quorvex.set_base_url(server.url)
    quorvex.set_base_url(before)


def test_the_calls_on_one_thread_keep_every_rule_of_a_call(at, monkeypatch):
    """Catches a bulk path (all its calls on one thread) that skips a retry's pause, a
    redirect, a time limit or the cap, or whose failed request the data function sends
    again: each ticker's outcome and requests are those of its own call (bulk=False)."""
    driven, drive = [], bulk.BulkPath.drive
    monkeypatch.setattr(bulk.BulkPath, "drive", lambda *args: driven.append(1) or drive(*args))
    tickers = ["GOOD", "RETRY", "MOVED", "DROP", "CUT", "SLOW", "HUGE"]
    seen = {}
    for path in (True, False):
        with HostileServer(script) as server:
            at(server)
            quorvex.configure(timeout=0.5, retries=1, backoff=0, max_bytes=10_000)
            table, errors = outcome("pricebars", tickers, "2024-01-01", "2024-01-31", workers=4, bulk=path)
            seen[path] = table, {name: (kind, text.replace(server.url, "")) for name, (kind, text) in errors.items()}
            retried = [request.at for request in server.received if ticker_of(request.target) == "RETRY"]
            assert retried[1] - retried[0] >= 0.3  # Retry-After was waited
            assert sorted(ticker_of(request.target) for request in server.received) == sorted(
                tickers + ["RETRY", "MOVED", "DROP", "CUT"]
            )
    assert driven == [1]
    assert_same(seen[True], seen[False])
    assert sorted(seen[True][0]["ticker"].unique()) == ["GOOD", "MOVED", "RETRY"]
    assert {name: kind for name, (kind, _) in seen[True][1].items()} == {
        "DROP": requests.exceptions.ConnectionError,
        "CUT": requests.exceptions.ChunkedEncodingError,
        "SLOW": requests.exceptions.ReadTimeout,
        "HUGE": remote.ResponseTooLarge,
    }


def test_the_calls_on_one_thread_end_where_the_answer_stops_and_keep_to_the_rate(at):
    """Catches a bulk path that waits out connect + read for a body that stopped coming
    (the read part bounds each wait), or sends faster than the rate."""
    with HostileServer(Answer(body=b"[" + b" " * 1000, drip=3)) as server:
        at(server)
        quorvex.configure(timeout=(6, 0.3))
        started = time.monotonic()
        _, errors = outcome("pricebars", ["DRIP"], "2024-01-01", "2024-01-31")
        assert time.monotonic() - started < 3 and errors["DRIP"][0] is requests.exceptions.ReadTimeout
    with HostileServer(Answer(body=json.dumps(ROWS).encode())) as server:
        at(server)
        quorvex.configure(timeout=5, rate=10)
        outcome("pricebars", [f"T{n}" for n in range(12)], "2024-01-01", "2024-01-31", workers=12)
        sent = [request.at for request in server.received]
    # A burst of 4, then 10 a second: the other 8 requests take at least 0.8 s.
    assert len(sent) == 12 and sent[-1] - sent[0] >= 0.8 * 0.97


# --- The decoder --------------------------------------------------------------------------------


def columns_of(body):
    decoded = _rows.decode(body, "DateTime", PRICEBARS.figures)
    assert decoded is not None, _rows.why(body, "DateTime", PRICEBARS.figures)
    keys, count, _form, first, seconds, figures = decoded
    values = {"DateTime": np.frombuffer(seconds, np.int64).tolist()}
    for key, (kind, data) in zip([k for k in keys if k != "DateTime"], figures):
        values[key] = np.frombuffer(data, np.int64 if kind == "i" else np.float64).tolist()
    return keys, count, first, values


@given(st.lists(st.tuples(*[integers | floats] * len(PRICEBARS.figures)), min_size=1, max_size=20))
@settings(database=None)
def test_the_decoder_reads_every_number_as_json_does(cells):
    rows = [
        {"DateTime": f"2024-01-{at % 28 + 1:02d}", **dict(zip(PRICEBARS.figures, row))} for at, row in enumerate(cells)
    ]
    body = json.dumps(rows).encode()
    keys, count, first, values = columns_of(body)
    parsed = json.loads(body)
    assert count == len(rows) and first == parsed[0]["DateTime"] and list(keys) == list(parsed[0])
    for column in PRICEBARS.figures:
        expected = [row[column] for row in parsed]
        if any(isinstance(value, float) for value in expected):
            expected = [float(value) for value in expected]
        # Bit for bit: -0.0 stays -0.0, the nearest double of every text.
        assert [repr(value) for value in values[column]] == [repr(value) for value in expected]
    epoch = pd.Timestamp("1970-01-01")
    assert values["DateTime"] == [(pd.Timestamp(row["DateTime"]) - epoch) // pd.Timedelta("1s") for row in parsed]


def decoded_number(text):
    body = f'[{{"DateTime": "2024-01-02", "Open": {text}}}]'.encode()
    decoded = _rows.decode(body, "DateTime", ("Open",))
    if decoded is None:
        return _rows.why(body, "DateTime", ("Open",))
    kind, data = decoded[5][0]
    return np.frombuffer(data, np.int64 if kind == "i" else np.float64).tolist()[0]


# Texts where a shortcut in decimal-to-binary conversion goes wrong: ties at 2**53, the
# edges of the exact powers of ten, long significands, subnormals and total underflow.
HARD_NUMBERS = [
    "9007199254740993.0", "9007199254740995e0", "0.1", "0.30000000000000004", "1e22", "1e23",
    "-1e-22", "1.7976931348623157e308", "17976931348623157e292", "2.2250738585072011e-308",
    "2.2250738585072014e-308", "4.9e-324", "2.4703282292062328e-324", "1e-400", "-0.0e5",
    "0.000000000000000000000000000001", "123456789012345678901234567890.5", "0e999",
    "1.00000000000000011102230246251565404236316680908203125", "7.2057594037927933e16",
    "1" + "0" * 30 + ".0e-30", "0." + "0" * 100 + "1e101",
]  # fmt: skip


@given(
    st.sampled_from(HARD_NUMBERS)
    | st.from_regex(r"\A-?(0|[1-9][0-9]{0,25})(\.[0-9]{1,25})?([eE][+-]?[0-9]{1,3})?\Z").filter(
        lambda text: "." in text or "e" in text.lower()
    )
)
@settings(database=None, max_examples=400)
def test_the_decoder_rounds_every_decimal_text_as_float_does(text):
    expected = float(text)
    got = decoded_number(text)
    if math.isinf(expected):
        assert got == "a number outside float64"
    else:
        assert repr(got) == repr(expected), text


def test_the_decoder_turns_a_column_with_a_null_or_a_float_into_float64():
    rows = [
        {"DateTime": "2024-02-29T09:15:07", "Open": 1, "High": 2, "Low": 3, "Close": 4, "Volume": 5},
        {"DateTime": "2024-03-01T00:00:00", "Open": None, "High": 2.5, "Low": 3, "Close": 4, "Volume": -0},
    ]
    keys, count, first, values = columns_of(json.dumps(rows).encode())
    assert values["Open"][0] == 1.0 and math.isnan(values["Open"][1]) and values["High"] == [2.0, 2.5]
    assert values["Low"] == [3, 3] and values["Volume"] == [5, 0]
    assert values["DateTime"] == [1709198107, 1709251200] and first == "2024-02-29T09:15:07"


@pytest.mark.parametrize(
    "body, reason",
    [
        (b"[]", "an empty array"),
        (b'\xef\xbb\xbf[{"DateTime": "2024-01-02"}]', "not a JSON array"),
        (b'{"DateTime": ["2024-01-02"]}', "not a JSON array"),
        (b"[[1, 2]]", "a row that is not an object"),
        (b'[{"DateTime": "2024-01-02"}]', "a row without every column"),
        (b'[{"DateTime": "2024-01-02", "DateTime": "2024-01-03"}]', "a key repeated in a row"),
        (b'[{"DateTime": "2024-01-02", "Open": 1, "ticker": "A"}]', "a key that is not a column of the data set"),
        (b'[{"Date\\u0054ime": "2024-01-02"}]', "an escape in a key or date"),
        (b'[{"DateTime": "2024-02-30"}]', "a date that is not a day of the calendar"),
        (b'[{"DateTime": "2024-01-02T24:00:00"}]', "a time that is not one of the day"),
        (b'[{"DateTime": "2024-01-02Z"}]', "a date in another form"),
        (b'[{"DateTime": 1704153600}]', "a key or date that is not a text"),
        (b'[{"DateTime": "2024-01-02", "Open": "1"}]', "a figure that is neither a number nor null"),
        (b'[{"DateTime": "2024-01-02", "Open": true}]', "a figure that is neither a number nor null"),
        (b'[{"DateTime": "2024-01-02", "Open": NaN}]', "a figure that is neither a number nor null"),
        (b'[{"DateTime": "2024-01-02", "Open": 01}]', "no ',' or '}' after a value"),
        (b'[{"DateTime": "2024-01-02", "Open": 1.}]', "a number without digits after its point"),
        (b'[{"DateTime": "2024-01-02", "Open": 9223372036854775808}]', "an integer outside int64"),
        (b'[{"DateTime": "2024-01-02", "Open": 1e400}]', "a number outside float64"),
        (b'[{"DateTime": "2024-01-02", "Open": 1}] x', "bytes after the array"),
        (b'[{"DateTime": "2024-01-02", "Open": 1}', "no ',' or ']' after a row"),
    ],
)
def test_what_the_decoder_declines(body, reason):
    # Rows of pricebars' date and one figure; "Open" alone keeps the cases short.
    assert _rows.why(body, "DateTime", ("Open",)) == reason
    assert _rows.decode(body, "DateTime", ("Open",)) is None


def test_the_decoder_declines_mixed_forms_orders_and_null_columns():
    def why(*rows):
        return _rows.why(json.dumps(rows).encode(), "DateTime", ("Open", "Close"))

    row = {"DateTime": "2024-01-02", "Open": 1, "Close": 1}
    assert why(row, {**row, "DateTime": "2024-01-03T00:00:00"}) == "dates of more than one form"
    assert why(row, {"DateTime": "2024-01-03", "Close": 1, "Open": 1}) == "rows whose keys differ in name or order"
    assert why({"DateTime": "2024-01-02", "Open": None, "Close": 1}) == "a figure column of nulls only"
    assert why({"DateTime": "1899-12-31", "Open": 1, "Close": 1}) == "a date that is not a day of the calendar"
    with pytest.raises(TypeError, match=r"decode\(\) takes \(bytes, str, tuple of str\)"):
        _rows.decode("[]", "DateTime", ())
    with pytest.raises(TypeError):
        _rows.decode(b"[]", "DateTime", ("Open", 1))


def test_the_decoder_leaks_nothing(assert_no_leaks):
    good = json.dumps([{"DateTime": "2024-01-02", "Open": 1.5}] * 50).encode()
    assert_no_leaks(_rows.decode, good, "DateTime", ("Open",))
    assert_no_leaks(_rows.decode, good[:-1], "DateTime", ("Open",))
    assert_no_leaks(_rows.decode, good, "DateTime", ("Open", 2), expect=TypeError)


def test_the_bulk_path_leaks_nothing(httpserver, logged_in, assert_no_leaks):
    body = json.dumps([{"DateTime": "2024-01-02", **{c: 1 for c in PRICEBARS.figures}}] * 20)
    httpserver.expect_request("/api/stock/pricebars").respond_with_data(body, content_type="application/json")
    quorvex.configure(timeout=30)
    assert_no_leaks(quorvex.download, "pricebars", ["A", "B"], "2024-01-01", "2024-01-31", workers=2, progress=False)
    assert sys.getrefcount(remote.configured()) < 50
