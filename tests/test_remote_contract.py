"""What configure and download promise a caller, checked against servers on 127.0.0.1:
the settings kept and refused, the pause before each retry and which answers are
retried, how a body is unpacked, decoded and capped, a caller's own session, the
messages of time-outs, and download's table, errors and progress bar."""

import gzip
import io
import json
import sys
import time
import zlib

import pandas as pd
import pytest
import requests

import quorvex
from helpers import outcome, run_python
from hostile_servers import Answer
from quorvex import remote
from quorvex.config import config
from quorvex.process_client.login import Client
from quorvex.remote import transport

pytestmark = pytest.mark.timeout(30)

FROM, TO = "2024-01-01", "2024-01-31"
TOKEN = "tok-contract-81c2"


def bar(day=2, close=1.5):
    return {"DateTime": f"2024-01-{day:02d}", "Open": 1, "High": 2, "Low": 1, "Close": close, "Volume": 100}


ROWS = [bar(day) for day in range(2, 6)]
BODY = json.dumps(ROWS).encode()


@pytest.fixture(autouse=True)
def _logged_in():
    Client.token = TOKEN


def pricebars(ticker="FPT"):
    return quorvex.get_pricebars(ticker, FROM, TO, "D")


def assert_rows(table):
    assert table["Close"].tolist() == [1.5] * 4 and [str(day.date()) for day in table.index] == [
        r["DateTime"] for r in ROWS
    ]


# --- settings ---


def bound_requests():
    """The ``requests`` each data module sends through."""
    return [sys.modules[dataset.module].requests for dataset in remote.DATASETS.values()]


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"timeout": 0}, ValueError, "timeout must be more than 0 seconds, not 0"),
        ({"timeout": -1.5}, ValueError, "timeout must be more than 0 seconds, not -1.5"),
        ({"timeout": float("nan")}, ValueError, "timeout must be more than 0 seconds, not nan"),
        ({"timeout": "5"}, TypeError, "timeout must be a number of seconds or None, not str"),
        ({"timeout": True}, TypeError, "timeout must be a number of seconds or None, not bool"),
        ({"timeout": [1]}, ValueError, "timeout must be one number or a (connect, read) pair, not [1]"),
        ({"timeout": (1, 2, 3)}, ValueError, "timeout must be one number or a (connect, read) pair, not (1, 2, 3)"),
        ({"timeout": (0, 5)}, ValueError, "the connect timeout must be more than 0 seconds, not 0"),
        ({"timeout": (1, 0)}, ValueError, "the read timeout must be more than 0 seconds, not 0"),
        ({"timeout": (5, "x")}, TypeError, "the read timeout must be a number of seconds or None, not str"),
        ({"deadline": 0}, ValueError, "deadline must be more than 0 seconds, not 0"),
        ({"deadline": -2.5}, ValueError, "deadline must be more than 0 seconds, not -2.5"),
        ({"deadline": "9"}, TypeError, "deadline must be a number of seconds or None, not str"),
        ({"deadline": True}, TypeError, "deadline must be a number of seconds or None, not bool"),
        ({"retries": -1}, ValueError, "retries must be 0 or more, not -1"),
        ({"retries": 1.0}, TypeError, "retries must be an int, not float"),
        ({"retries": True}, TypeError, "retries must be an int, not bool"),
        ({"backoff": -0.1}, ValueError, "backoff must be 0 or more seconds, not -0.1"),
        ({"backoff": float("nan")}, ValueError, "backoff must be 0 or more seconds, not nan"),
        ({"backoff": True}, TypeError, "backoff must be a number of seconds, not bool"),
        ({"backoff": "1"}, TypeError, "backoff must be a number of seconds, not str"),
        ({"max_bytes": 0}, ValueError, "max_bytes must be 1 or more, not 0"),
        ({"max_bytes": True}, TypeError, "max_bytes must be an int or None, not bool"),
        ({"max_bytes": 1.5}, TypeError, "max_bytes must be an int or None, not float"),
        ({"session": object()}, TypeError, "session must have a get() method like requests.Session, not object"),
        ({"rate": 0}, ValueError, "rate must be more than 0 requests a second, not 0"),
        ({"rate": float("inf")}, ValueError, "rate must be more than 0 requests a second, not inf"),
        ({"rate": "5"}, TypeError, "rate must be a number of requests a second or None, not str"),
        ({"rate": True}, TypeError, "rate must be a number of requests a second or None, not bool"),
        ({"recheck_days": -1}, ValueError, "recheck_days must be 0 or more, not -1"),
        ({"verify": "/no/such/ca.pem"}, ValueError, "verify names no file or folder: '/no/such/ca.pem'"),
        ({"verify": 1}, TypeError, "verify must be True, False or the path of a CA bundle, not int"),
        (
            {"session": requests.Session(), "retries": 1},
            ValueError,
            "retries apply to the session quorvex makes; with your own session, mount a retrying adapter on it instead",
        ),
    ],
)
def test_bad_settings_are_refused_with_what_was_wrong_and_the_old_ones_kept(kwargs, error, text):
    """Catches a bad setting taken (or refused with the wrong type or a vague message),
    and a refusal that drops or half-applies the settings in force."""
    quorvex.configure(timeout=7)
    before = remote.configured()
    with pytest.raises(error) as excinfo:
        quorvex.configure(**kwargs)
    assert type(excinfo.value) is error and str(excinfo.value) == text
    assert remote.configured() is before and Client.transport == before.post
    assert bound_requests() == [before] * len(remote.DATASETS)


@pytest.mark.parametrize(
    "kwargs, kept",
    [
        ({"timeout": [2, None]}, {"timeout": (2, None), "retries": 0, "deadline": None}),
        ({"timeout": (None, 3.5), "retries": 2, "backoff": 0}, {"timeout": (None, 3.5), "retries": 2, "backoff": 0}),
        ({"deadline": 4}, {"timeout": None, "deadline": 4, "max_bytes": 16 * 1024 * 1024}),
        ({"max_bytes": None}, {"timeout": None, "max_bytes": None, "backoff": 0.5}),
        ({"max_bytes": 1}, {"max_bytes": 1}),
        ({"retries": 1}, {"retries": 1, "backoff": 0.5}),
    ],
)
def test_any_setting_but_the_defaults_configures(kwargs, kept):
    quorvex.configure(**kwargs)
    configured = remote.configured()
    assert configured is not None and Client.transport == configured.post
    assert {name: getattr(configured, name) for name in kept} == kept
    assert isinstance(configured.session, transport.Transport) and configured.owns_session
    assert (
        repr(configured)
        == f"<quorvex configured requests: timeout={kept.get('timeout')!r}, session={configured.session!r}>"
    )


def test_the_default_settings_spelled_out_restore_the_default():
    """Catches a default that, written out, configures instead (16 MiB is the default cap)."""
    quorvex.configure(timeout=3)
    quorvex.configure(timeout=None, retries=0, session=None, deadline=None, max_bytes=16 * 1024 * 1024)
    assert remote.configured() is None and Client.transport is None
    assert bound_requests() == [requests] * len(remote.DATASETS)


@pytest.mark.parametrize(
    "timeout, retries, backoff, deadline, bound",
    [
        (None, 3, 0.5, None, None),  # no time limit, no deadline: no bound
        ((None, 7), 3, 0.5, None, None),  # connect unbounded
        (None, 3, 0.5, 12, 12),
        (10, 0, 0.5, None, 10),
        # 4 attempts of 3 + 7 s; pauses of 0, 2 * 0.5 and 4 * 0.5 seconds.
        ((3, 7), 3, 0.5, None, 4 * 10 + 0 + 1 + 2),
        (2, 8, 10, None, 9 * 2 + 20 + 40 + 60 * 5),  # each pause at most 60 s
        (2, 3, 0.5, 5, 5),  # the deadline, shorter than the attempts
        (1, 3, 0.5, 100, 100),  # the deadline, longer than the attempts
    ],
)
def test_call_bound_counts_every_attempt_and_pause(timeout, retries, backoff, deadline, bound):
    """Catches a bound that leaves out an attempt, a pause or its cap, or the deadline."""
    assert remote.call_bound(timeout, retries, backoff, deadline) == bound


# --- retries and their pauses ---


@pytest.mark.parametrize(
    "status, retried",
    [(status, True) for status in (429, 500, 502, 503, 504)] + [(status, False) for status in (400, 401, 404, 501)],
)
def test_the_transient_statuses_and_no_others_are_retried(serve, status, retried):
    """Catches a transient status left unretried, and a refusal that is retried."""
    server = serve([Answer(status=status, body=b'{"error": "later"}'), Answer(body=BODY)])
    quorvex.configure(timeout=5, retries=3, backoff=0)
    result = outcome(pricebars)
    if retried:
        assert_rows(result)
    else:
        assert type(result) is ValueError and result.response.status_code == status
    assert len(server.received) == (2 if retried else 1)


class FakeTime:
    """The clock the retries see: ``sleep`` returns at once, notes the pause and moves
    ``monotonic`` on by it, so a deadline sees the time pass."""

    def __init__(self):
        self.pauses = []
        self._ahead = 0.0

    def sleep(self, seconds):
        self.pauses.append(seconds)
        self._ahead += seconds

    def monotonic(self):
        return time.monotonic() + self._ahead

    def __getattr__(self, name):
        return getattr(time, name)


@pytest.fixture
def pauses(monkeypatch):
    """The pauses the retries of this test asked for, in seconds, none of them waited."""
    clock = FakeTime()
    monkeypatch.setattr(remote.policy.CLOCK, "sleep", clock.sleep)
    monkeypatch.setattr(remote.policy.CLOCK, "monotonic", clock.monotonic)
    return clock.pauses


def test_the_pauses_double_and_stop_at_60_seconds(serve, pauses):
    """Catches a first retry that waits, a backoff that does not double and pauses that
    grow past the cap of 60 s; and, with no time limit set, an answer that takes a while
    (a byte a millisecond) cut short."""
    server = serve([Answer(status=503)] * 4 + [Answer(body=BODY, drip=0.001)])
    quorvex.configure(retries=4, backoff=10)
    assert_rows(pricebars())
    assert pauses == [20, 40, 60] and len(server.received) == 5


@pytest.mark.parametrize("retries", [1, 2])
def test_a_drop_is_retried_and_the_last_error_raised(serve, retries):
    """Catches a dropped connection not retried, retried past the retries, or raised as a
    time-out."""
    server = serve([Answer(drop=True)] * 2 + [Answer(body=BODY)])
    quorvex.configure(timeout=5, retries=retries, backoff=0)
    result = outcome(pricebars)
    if retries == 2:
        assert_rows(result)
    else:
        assert isinstance(result, requests.exceptions.ConnectionError)
        assert not isinstance(result, requests.exceptions.Timeout)
    assert len(server.received) == retries + 1


@pytest.mark.parametrize(
    "settings, waited",
    [
        ({"timeout": 2, "retries": 1, "backoff": 0}, []),
        ({"timeout": 5, "retries": 2, "backoff": 0.3}, [0.6]),
        # The first retry goes at once, the second would wait 60 s: past the deadline.
        ({"timeout": 5, "retries": 3, "backoff": 30, "deadline": 20}, []),
    ],
)
def test_a_refused_connection_is_retried_then_raised_without_the_token(
    monkeypatch, pauses, closed_port, settings, waited
):
    """Catches a refused connection not retried, a pause past the deadline waited, and the
    token or the address's password shown in the error."""
    import quorvex.process_stock.pricebars as module

    monkeypatch.setattr(module, "base_url", closed_port.replace("//", "//user:pw@"))
    quorvex.configure(**settings)
    error = outcome(pricebars)
    assert type(error) is requests.exceptions.ConnectionError and pauses == waited
    assert TOKEN not in str(error) + repr(error) and "pw@" not in str(error) + repr(error)


# --- the body: unpacked, decoded, capped ---


def deflate(data, raw):
    packer = zlib.compressobj(6, zlib.DEFLATED, -zlib.MAX_WBITS if raw else zlib.MAX_WBITS)
    return packer.compress(data) + packer.flush()


BIG_ROWS = [bar(1 + n % 28, close=n) for n in range(3000)]
BIG = json.dumps(
    [
        {**row, "DateTime": f"{2000 + n // 336}-{1 + n // 28 % 12:02d}-{1 + n % 28:02d}"}
        for n, row in enumerate(BIG_ROWS)
    ]
).encode()


# Chunks with a Content-Length too break the rules, and the chunks win (as HTTP/1.1 has
# it): some proxies send them so.
LYING_LENGTH = {"Content-Length": str(10 * len(BIG))}


@pytest.mark.parametrize(
    "coding, pack",
    [
        ("gzip", gzip.compress),
        ("x-gzip", gzip.compress),
        (" GZIP ", gzip.compress),
        ("deflate", lambda data: deflate(data, raw=False)),
        ("deflate", lambda data: deflate(data, raw=True)),
        ("identity", lambda data: data),
    ],
    ids=["gzip", "x-gzip", "spaced", "deflate", "raw deflate", "identity"],
)
@pytest.mark.parametrize("framing, length", [("length", {}), ("chunked", {}), ("chunked", LYING_LENGTH)])
def test_packed_bodies_give_the_same_table(serve, coding, pack, framing, length):
    assert len(BIG) > 3 * remote.CHUNK
    plain = serve(Answer(body=BIG))
    quorvex.configure(timeout=10)
    expected = pricebars()
    server = serve(Answer(body=pack(BIG), headers={"Content-Encoding": coding, **length}, framing=framing))
    table = pricebars()
    pd.testing.assert_frame_equal(table, expected)
    assert len(table) == 3000
    for request in (plain.received[0], server.received[0]):
        assert {"gzip", "deflate"} <= {coding.strip() for coding in request.headers["accept-encoding"].split(",")}


PACKED = deflate(BIG, raw=False)


@pytest.mark.parametrize(
    "coding, body",
    [
        ("gzip", b"\x1f\x8b\x08 not really packed"),
        ("deflate", b"\x1f\x8b\x08 not really packed"),
        # Two gzip members: refused whole rather than cut after the first.
        ("gzip", gzip.compress(BIG[:1000]) + gzip.compress(BIG[1000:])),
        # The Adler-32 check at the end fails, long after the first pieces were unpacked.
        ("deflate", PACKED[:-4] + bytes(b ^ 0xFF for b in PACKED[-4:])),
        # Two codings in a row, which quorvex does not unpack as the body comes.
        ("gzip, gzip", b"\x1f\x8b not gzip at all"),
    ],
    ids=["gzip", "deflate", "two gzip members", "deflate check", "two codings"],
)
def test_a_body_that_does_not_unpack_is_a_decoding_error(serve, coding, body):
    serve(Answer(body=body, headers={"Content-Encoding": coding}))
    quorvex.configure(timeout=5)
    error = outcome(pricebars)
    assert type(error) is requests.exceptions.ContentDecodingError
    assert str(error).startswith(f"the body is not valid {coding}: ")


@pytest.mark.parametrize("coding", ["", "gzip"])
def test_the_cap_counts_unpacked_bytes_and_lets_a_body_of_its_size_through(serve, coding):
    """Catches a cap that counts packed bytes, refuses a body of exactly its size, or
    refuses without the answer's status and headers."""
    body = BODY + b" " * 10
    pack = gzip.compress if coding else (lambda data: data)
    serve(Answer(body=pack(body), headers={"Content-Encoding": coding, "X-Mark": "m"} if coding else {"X-Mark": "m"}))
    quorvex.configure(timeout=5, max_bytes=len(body))
    assert_rows(pricebars())
    quorvex.configure(timeout=5, max_bytes=len(body) - 1)
    error = outcome(pricebars)
    assert type(error) is remote.ResponseTooLarge and error.response.status_code == 200
    assert error.response.content == b"" and error.response.headers["X-Mark"] == "m"


def test_a_body_past_the_cap_names_the_address_without_its_password_and_the_cap(serve):
    server = serve(Answer(body=BODY, headers={"X-Trace": "7"}), credentials="user:pw@")
    quorvex.configure(timeout=5, max_bytes=20)
    error = outcome(pricebars)
    host = server.url.split("//")[1]
    assert f"{host}/api/stock/pricebars?ticker=FPT&fromDate={FROM}&toDate={TO}" in str(error)
    assert str(error).startswith("the answer of http://") and ":pw@" not in str(error)
    assert str(error).endswith(
        "(HTTP status 200) is larger than the cap of 20 bytes (max_bytes); no more of it was read"
    )
    assert error.response.headers["X-Trace"] == "7"


@pytest.mark.parametrize(
    "body, error, message",
    [
        (b"\xef\xbb\xbf" + BODY, None, None),  # a byte-order mark is no text
        (
            BODY.replace(b'"2024-01-02"', b'"2024-01-\xff2"'),
            remote.MalformedAnswer,
            'not valid UTF-8: byte 0xff at offset 23: \'[{"DateTime": "2024-01-\ufffd2"',
        ),
        (
            b"[" + b'{"a": 1},' * 40 + b"5]",
            remote.MalformedAnswer,
            "something other than a list of rows: '[" + '{"a": 1},' * 21,
        ),
        (b'{"rows": []}', remote.MalformedAnswer, "something other than a list of rows: '{\"rows\": []}'"),
        (b'"maintenance"', remote.MalformedAnswer, "'\"maintenance\"'"),
        (b"[1, 2]", remote.MalformedAnswer, "'[1, 2]'"),
        (b'{"rows": "' + b"x" * 500 + b'"}', remote.MalformedAnswer, '\'{"rows": "' + "x" * 190 + "' ... (512"),
        (b"<html>busy</html>", requests.exceptions.JSONDecodeError, "Expecting value"),
    ],
)
def test_a_200_body_is_strict_utf8_json_rows(serve, body, error, message):
    """Catches a body decoded by its declared charset, a byte-order mark taken for text,
    something other than a list of rows taken for a table, and a message that quotes a
    long body whole or leaves out what came."""
    serve(Answer(body=body, headers={"Content-Type": "text/plain; charset=iso-8859-1"}))
    quorvex.configure(timeout=5)
    result = outcome(pricebars)
    if error is None:
        assert_rows(result)
        return
    assert type(result) is error and message in str(result), result
    if error is remote.MalformedAnswer:
        assert result.response.status_code == 200 and result.response.content == body
        assert len(str(result)) < 400
        if len(body) > 200:
            assert str(result).endswith(f"' ... ({len(body)} characters)")


def test_a_refusal_keeps_its_text_with_invalid_bytes_replaced(serve):
    serve(Answer(status=404, body=b'{"error": "no \xff such"}'))
    quorvex.configure(timeout=5)
    error = outcome(pricebars)
    assert type(error) is ValueError and str(error).endswith('content: {"error": "no \ufffd such"}')
    assert error.response.text == '{"error": "no \ufffd such"}'


@pytest.mark.parametrize("configured", [True, False])
@pytest.mark.parametrize(
    "status, length", [(500, 200), (500, 4096), (500, 4097), (500, 100_000), (201, 4097), (404, 4097), (204, 0)]
)
def test_a_long_refusal_message_is_cut_but_its_response_is_whole(serve, configured, status, length):
    """Catches a refusal that quotes a huge body whole in its message, cuts one of 4,096
    characters or fewer, counts bytes for characters, cuts the response's text too, or
    drops the response's headers or address; any status but 200 is a refusal."""
    text = "é" + "x" * (length - 2) + "Z" if length else ""
    server = serve(Answer(status=status, body=text.encode(), headers={"X-Trace": "abc"}))
    if configured:
        quorvex.configure(timeout=5)
    error = outcome(pricebars)
    assert type(error) is ValueError and error.response.text == text and error.response.status_code == status
    assert error.response.headers["X-Trace"] == "abc"
    assert error.response.url.startswith(f"{server.url}/api/stock/pricebars?ticker=FPT")
    head, _, quoted = str(error).partition("\ncontent: ")
    assert head.endswith(f"status:{status}")
    if configured and length > 4096:
        assert quoted == text[:4096] + (
            f"\n[... cut: the body is {length} characters long; the whole text is in the error's .response.text]"
        )
    else:
        assert quoted == text
    assert f"{error.response.text:>5}" == text.rjust(5)  # formatted with a spec: whole


# --- a caller's own session ---


class PlainSession:
    """A session-like object of a caller's own: a whole requests.get per call."""

    def __init__(self):
        self.calls = []

    def get(self, url, **kwargs):
        self.calls.append((url, sorted(kwargs), kwargs["timeout"]))
        return requests.get(url, **kwargs)


def test_a_session_like_object_gets_the_time_limit_and_the_cap_and_never_the_login(serve, monkeypatch):
    """Catches a caller's session-like object sent no time limit or cap, or handed the login."""
    server = serve(lambda request, attempt: Answer(body=b'{"token": "own"}' if request.method == "POST" else BODY))
    monkeypatch.setattr(config, "base_url", server.url)
    session = PlainSession()
    quorvex.configure(session=session, timeout=(4, 5), max_bytes=len(BODY))
    assert Client().login("demo", "pw") == "own"
    assert_rows(pricebars())
    assert session.calls == [(f"{server.url}/api/stock/pricebars", ["headers", "params", "timeout"], (4, 5))]
    assert server.received[1].headers["authorization"] == "Bearer own"
    quorvex.configure(session=session, timeout=5, max_bytes=len(BODY) - 1)
    assert type(outcome(pricebars)) is remote.ResponseTooLarge
    # A body that stops coming: the read limit runs out between two bytes, long before the
    # attempt's, through the caller's session and through quorvex's own.
    serve(Answer(body=BODY, drip=3.0))
    for own in (session, None):
        quorvex.configure(session=own, timeout=(5, 0.5))
        started = time.monotonic()
        assert type(outcome(pricebars)) is requests.exceptions.ReadTimeout and time.monotonic() - started < 4


def test_a_callers_session_is_left_as_it_was_and_quorvex_own_is_closed(serve):
    """Catches a caller's session whose adapters a download changes (more threads than
    quorvex's pool), and quorvex's own session left open with its connections."""
    serve(Answer(body=BODY))
    tickers = [f"T{n}" for n in range(remote.POOL_SIZE + 4)]
    with requests.Session() as mine:
        adapters = dict(mine.adapters)
        quorvex.configure(session=mine, timeout=5)
        assert len(quorvex.download("pricebars", tickers, FROM, TO, workers=20, progress=False)) == 4 * len(tickers)
        assert mine.adapters == adapters
        quorvex.configure(timeout=5)
        own = remote.configured()
        pricebars()
        quorvex.configure(timeout=6)
        # Its handles, and their kept-alive connections, are closed; no new one is kept.
        assert own.session._idle == [] and own.session._closed


# --- download ---


def by_ticker(request, attempt):
    ticker = request.target.split("ticker=")[1].split("&")[0]
    if ticker.startswith("BAD"):
        return Answer(status=404, body=json.dumps({"error": f"no {ticker}"}).encode())
    if ticker.startswith("EMPTY"):
        return Answer(body=b"[]")
    return Answer(body=json.dumps([bar(2, close=len(ticker)), bar(3, close=len(ticker))]).encode())


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize(
    "progress, tty, drawn", [(None, True, True), (None, False, False), (False, True, False), (True, False, True)]
)
def test_the_progress_bar_counts_failed_tickers_too(serve, monkeypatch, progress, tty, drawn):
    serve(by_ticker)
    stream = Terminal() if tty else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stream)
    error = outcome(quorvex.download, "pricebars", ["AA", "BAD1", "CCC"], FROM, TO, progress=progress)
    assert type(error) is quorvex.DownloadError
    shown = stream.getvalue()
    assert ("3/3" in shown and "pricebars" in shown and "ticker" in shown) is drawn
    assert drawn or shown == ""


def test_without_tqdm_the_automatic_bar_is_left_out(serve, monkeypatch):
    serve(by_ticker)
    monkeypatch.setattr(sys, "stderr", Terminal())
    monkeypatch.setitem(sys.modules, "tqdm", None)
    table = quorvex.download("pricebars", ["AA"], FROM, TO)
    assert table["ticker"].tolist() == ["AA", "AA"] and sys.stderr.getvalue() == ""
    with pytest.raises(ImportError, match="pip install tqdm"):  # a bar asked for
        quorvex.download("pricebars", ["AA"], FROM, TO, progress=True)


def test_a_download_error_lists_every_failure_in_ticker_order(serve):
    serve(by_ticker, credentials="u:pw@")
    quorvex.configure(timeout=5)
    tickers = ["BAD2", "AA", "BAD1", "CCC"]
    error = outcome(quorvex.download, "pricebars", tickers, FROM, TO, workers=4, progress=False)
    assert type(error) is quorvex.DownloadError and list(error.errors) == ["BAD2", "BAD1"]
    lines = str(error).split("\n")
    assert lines[0] == "pricebars: 2 of 4 tickers failed; the table of the other 2 is in .table"
    assert lines[1] == "  BAD2: ValueError: Có lỗi xảy ra" and lines[2].startswith("    ")
    assert any(line.startswith("  BAD1: ValueError: ") for line in lines)
    assert "pw@" not in str(error)
    assert error.table["ticker"].tolist() == ["AA", "AA", "CCC", "CCC"]
    assert error.table["Close"].tolist() == [2, 2, 3, 3]
    assert error.__cause__ is error.errors["BAD2"]
    error = outcome(quorvex.download, "pricebars", ["BAD1", "BAD2"], FROM, TO, progress=False)
    assert str(error).startswith("pricebars: 2 of 2 tickers failed\n") and error.table is None


def test_empty_tables_add_no_rows(serve):
    serve(by_ticker)
    table = quorvex.download("pricebars", ["EMPTY1", "AA", "EMPTY2"], FROM, TO, workers=2, progress=False)
    assert table["ticker"].tolist() == ["AA", "AA"] and table.index.name == "DateTime"
    empty = quorvex.download("pricebars", ["EMPTY1", "EMPTY2"], FROM, TO, progress=False)
    assert len(empty) == 0 and list(empty.columns)[0] == "ticker"


@pytest.mark.parametrize("unit", [1, 1.0])
def test_a_single_tickers_table_keeps_its_date_index(serve, unit):
    """Catches a lone ticker's table given a plain index, and a unit of one refused as a
    float."""
    serve(by_ticker)
    table = quorvex.download("pricebars", ("AA" for _ in range(1)), FROM, TO, unit=unit, workers=50, progress=False)
    assert [str(day.date()) for day in table.index] == ["2024-01-02", "2024-01-03"]
    assert table["ticker"].tolist() == ["AA", "AA"]


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"workers": True}, TypeError, "workers must be an int, not bool"),
        ({"workers": 2.0}, TypeError, "workers must be an int, not float"),
        ({"workers": -1}, ValueError, "workers must be 1 or more, not -1"),
        ({"unit": True}, ValueError, "pricebars has no unit; leave unit at 1"),
        ({"tickers": b"FPT"}, TypeError, "tickers must be a list of tickers, not one string: write [b'FPT']"),
        ({"tickers": [b"FPT"]}, TypeError, "each ticker must be a str, not bytes: b'FPT'"),
        ({"tickers": ()}, ValueError, "tickers is empty: give at least one ticker"),
        ({"tickers": 7}, TypeError, "tickers must be a list of tickers, not int"),
        ({"dataset": "dividend", "period": "W"}, ValueError, "dividend has no period; leave period at 'D'"),
        (
            {"dataset": "nope"},
            ValueError,
            "unknown dataset 'nope'; one of: pricebars, foreign, dealerDesk, matchBook, dividend",
        ),
    ],
)
def test_download_refuses(kwargs, error, text):
    arguments = {"dataset": "pricebars", "tickers": ["FPT"], **kwargs}
    with pytest.raises(error) as excinfo:
        quorvex.download(arguments.pop("dataset"), arguments.pop("tickers"), FROM, TO, **arguments)
    assert str(excinfo.value) == text


def test_a_program_ends_at_once_after_configured_calls():
    """Catches a thread or handle of a configured call that keeps the interpreter alive."""
    source = (
        "import json, socket, quorvex\n"
        "import quorvex.process_stock.pricebars as module\n"
        "s = socket.socket(); s.bind(('127.0.0.1', 0)); port = s.getsockname()[1]; s.close()\n"
        "module.base_url = 'http://127.0.0.1:%d' % port\n"
        "from quorvex.process_client.login import Client\n"
        "Client.token = 't'; quorvex.configure(timeout=30)\n"
        "try:\n"
        "    quorvex.get_pricebars('FPT', '2024-01-01', '2024-01-31', 'D')\n"
        "except Exception as error:\n"
        "    print(json.dumps(type(error).__name__))\n"
    )
    started = time.monotonic()
    assert run_python(source) == "ConnectionError" and time.monotonic() - started < 15
