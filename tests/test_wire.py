"""Plain-HTTP requests of quorvex's own session on kept-alive connections, against raw
socket servers that count connections: one connection serves many calls, a connection the
server closed while idle is replaced without an error or a second request, and a request
no server answers fails as requests would fail it."""

import io
import json
import shutil
import socket
import threading

import pandas as pd
import pytest
import requests
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvex
import quorvex.service
from quorvex import remote
from quorvex import wire as _wire
from quorvex.datasets import DATASETS

pytestmark = pytest.mark.timeout(30)

BODY = json.dumps([{"DateTime": "2024-01-02", "Open": 1, "High": 1, "Low": 1, "Close": 1, "Volume": 1}]).encode()


class CountingServer:
    """Answers every request with BODY (keep-alive, Content-Length), or with the bytes
    ``reply`` as they stand; counts connections and requests and keeps their heads.
    ``per_connection``: requests served before it closes a connection by itself, without
    saying so; ``answer``: False to close without answering."""

    def __init__(self, per_connection=None, answer=True, reply=None):
        self.per_connection, self.answer, self.reply = per_connection, answer, reply
        self.connections = self.requests = 0
        self.heads = []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:%d" % self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        with connection:
            served, pending = 0, b""
            while self.per_connection is None or served < self.per_connection:
                while b"\r\n\r\n" not in pending:
                    data = connection.recv(65536)
                    if not data:
                        return
                    pending += data
                head, pending = pending.split(b"\r\n\r\n", 1)
                self.heads.append(head)
                self.requests += 1
                if not self.answer:
                    return
                connection.sendall(
                    self.reply
                    or b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n%s"
                    % (len(BODY), BODY)
                )
                served += 1

    def close(self):
        self.listener.close()


@pytest.fixture
def server(monkeypatch):
    import quorvex.process_stock.pricebars as module

    made = []

    def start(**options):
        made.append(CountingServer(**options))
        monkeypatch.setattr(module, "base_url", made[-1].url)
        return made[-1]

    yield start
    quorvex.configure()
    for each in made:
        each.close()


def fetch(times=5):
    return [quorvex.get_pricebars("FPT", "2024-01-01", "2024-01-31", "D") for _ in range(times)]


def test_one_connection_serves_every_call(server, logged_in):
    counting = server()
    quorvex.configure(timeout=5)
    tables = fetch()
    assert all(len(table) == 1 for table in tables)
    assert (counting.connections, counting.requests) == (1, 5)


def test_a_connection_closed_by_the_server_while_idle_is_replaced(server, logged_in):
    counting = server(per_connection=1)
    quorvex.configure(timeout=5)
    assert all(len(table) == 1 for table in fetch())
    # Each request sent once, each on a connection of its own; no error reached the caller.
    assert (counting.connections, counting.requests) == (5, 5)


def test_a_request_never_answered_is_a_connection_error_sent_once_per_connection(server, logged_in):
    counting = server(answer=False)
    quorvex.configure(timeout=5)
    with pytest.raises(requests.exceptions.ConnectionError):
        fetch(1)
    assert counting.requests == 1
    quorvex.configure(timeout=5, retries=2, backoff=0)
    with pytest.raises(requests.exceptions.ConnectionError):
        fetch(1)
    assert counting.requests == 1 + 3


def test_reconfiguring_closes_the_kept_connections(server, logged_in):
    counting = server()
    quorvex.configure(timeout=5)
    fetch(2)
    kept = [connection for origin in remote.configured()._wire_origins.values() for connection in origin._idle]
    assert len(kept) == 1 and kept[0].sock is not None
    quorvex.configure(timeout=6)
    assert kept[0].sock is None and counting.connections == 1


@pytest.mark.timeout(60)
@pytest.mark.skipif(shutil.which("openssl") is None, reason="needs the openssl command")
def test_https_goes_through_the_sessions_pool(sample_service_module, tmp_path, monkeypatch):
    from sample_service.tls import serve_tls

    server = sample_service_module.make_server(port=0)
    certificate = serve_tls(server, str(tmp_path))
    before = quorvex.service.base_url()
    with server:
        quorvex.set_base_url(server.base_url)
        try:
            quorvex.configure(timeout=10)
            with pytest.raises(requests.exceptions.SSLError):  # not trusted without the certificate
                quorvex.login("demo", "demo")
            monkeypatch.setenv("REQUESTS_CA_BUNDLE", certificate)
            quorvex.configure(timeout=10)
            quorvex.login("demo", "demo")
            tickers = ["FPT", "VCB"]
            table = quorvex.download("pricebars", tickers, "2024-01-01", "2024-03-31", progress=False)
            assert table["ticker"].unique().tolist() == tickers and not remote.configured()._wire_origins
            expected = quorvex.download("pricebars", tickers, "2024-01-01", "2024-03-31", progress=False, bulk=False)
            pd.testing.assert_frame_equal(table, expected)
        finally:
            quorvex.set_base_url(before)


# --- The same request out, the same outcome back, on both ways a request goes --------------


def both_ways(server, monkeypatch, call):
    """(outcome, request heads, connections) of ``call`` on quorvex's own connections,
    then on the session's urllib3 pool: a table or the exception's type."""
    seen = []
    for wire in (True, False):
        if not wire:
            monkeypatch.setattr(remote._wire, "origin_of", lambda url, keep_at_most: None)
        quorvex.configure(timeout=5)
        server.heads.clear()
        server.connections = 0
        try:
            outcome = call()
        except Exception as error:  # noqa: BLE001  (compared between the two ways)
            outcome = type(error)
        seen.append((outcome, list(server.heads), server.connections))
    return seen


def head(status_line=b"HTTP/1.1 200 OK", *fields):
    return status_line + b"\r\n" + b"".join(field + b"\r\n" for field in fields) + b"\r\n"


JSON = b"Content-Type: application/json"
LENGTH = b"Content-Length: %d" % len(BODY)


def chunked(*pieces, last=b"0\r\n\r\n"):
    return b"".join(b"%X\r\n%s\r\n" % (len(piece), piece) for piece in pieces) + last


@pytest.mark.parametrize(
    "reply, outcome",
    [
        (head(b"HTTP/1.1 200 OK", JSON, LENGTH) + BODY, "table"),
        (head(b"HTTP/1.1 200 OK", JSON, b"Transfer-Encoding: chunked") + chunked(BODY[:7], BODY[7:]), "table"),
        # A chunk extension, and a trailer after the last chunk.
        (
            head(b"HTTP/1.1 200 OK", JSON, b"Transfer-Encoding: chunked")
            + chunked(BODY[:30], BODY[30:], last=b"0;done\r\nX-Checksum: 1\r\n\r\n").replace(b"\r\n", b";x=1\r\n", 1),
            "table",
        ),
        (head(b"HTTP/1.0 200 OK", JSON) + BODY, "table"),  # the body ends with the connection
        (head(b"HTTP/1.1 100 Continue") + head(b"HTTP/1.1 200 OK", JSON, LENGTH) + BODY, "table"),
        (head(b"HTTP/1.1 200 OK", b"Content-Type:", b" application/json", LENGTH) + BODY, "table"),  # folded
        (head(b"HTTP/1.1 200 OK", JSON, LENGTH, b"X-Twice: 1", b"X-Twice: 2") + BODY, "table"),
        (
            head(b"HTTP/1.1 200 OK", JSON, b"Transfer-Encoding: chunked") + b"zz\r\n" + BODY,
            requests.exceptions.ChunkedEncodingError,
        ),
        (
            head(b"HTTP/1.1 200 OK", JSON, b"Transfer-Encoding: chunked") + b"0x10\r\n" + BODY,
            requests.exceptions.ChunkedEncodingError,
        ),
        (head(b"HTTP/1.1 200 OK", *[b"X-%d: 1" % n for n in range(101)]), requests.exceptions.ConnectionError),
        (head(b"HTTP/1.1 200 OK", b"X-Long: " + b"a" * 70000), requests.exceptions.ConnectionError),
        (b"HELLO\r\n\r\n", requests.exceptions.ConnectionError),
        (b"HTTP/1.1 2000 OK\r\n\r\n", requests.exceptions.ConnectionError),
    ],
    ids=[
        "length",
        "chunked",
        "chunk extension and trailer",
        "HTTP/1.0 until close",
        "100 Continue first",
        "folded header",
        "header twice",
        "chunk size not hex",
        "chunk size 0x",
        "101 headers",
        "70 kB header line",
        "no status line",
        "four-digit status",
    ],
)
def test_both_ways_read_an_answer_alike(server, logged_in, monkeypatch, reply, outcome):
    counting = server(per_connection=1, reply=reply)
    (wire, wire_heads, _), (pool, pool_heads, _) = both_ways(counting, monkeypatch, lambda: fetch(1)[0])
    if outcome == "table":
        pd.testing.assert_frame_equal(wire, pool)
        assert wire["Close"].tolist() == [1]
    else:
        assert wire is pool is outcome
    assert wire_heads == pool_heads and len(wire_heads) == 1


def test_both_ways_send_the_same_request(server, logged_in, monkeypatch):
    counting = server()
    (_, wire, _), (_, pool, _) = both_ways(counting, monkeypatch, lambda: fetch(1))

    def fields(request):
        line, *rest = request.decode("latin-1").split("\r\n")
        return line, sorted(rest)

    assert [fields(request) for request in wire] == [fields(request) for request in pool]
    line, sent = fields(wire[0])
    endpoint = DATASETS["pricebars"].endpoint
    assert line == f"GET {endpoint}?ticker=FPT&fromDate=2024-01-01&toDate=2024-01-31 HTTP/1.1"
    assert f"Authorization: Bearer {logged_in}" in sent and any(field.startswith("Host: 127.0.0.1:") for field in sent)


@pytest.mark.parametrize(
    "reply, connections",
    [
        (head(b"HTTP/1.1 200 OK", JSON, LENGTH) + BODY, 1),
        (head(b"HTTP/1.1 200 OK", JSON, LENGTH, b"Connection: close") + BODY, 3),
        (head(b"HTTP/1.1 200 OK", JSON, b"Transfer-Encoding: chunked") + chunked(BODY), 1),
        (head(b"HTTP/1.0 200 OK", JSON, LENGTH) + BODY, 3),
    ],
    ids=["kept alive", "closed as said", "chunked kept alive", "HTTP/1.0"],
)
def test_a_connection_is_kept_only_when_the_answer_allows_it(server, logged_in, monkeypatch, reply, connections):
    counting = server(reply=reply)
    (wire, _, wire_connections), (pool, _, pool_connections) = both_ways(counting, monkeypatch, lambda: fetch(3))
    assert wire_connections == pool_connections == connections
    assert all(len(table) == 1 for table in wire + pool)


def test_a_header_value_with_a_line_break_is_never_sent(server, monkeypatch):
    from quorvex.process_client.login import Client

    counting = server()
    monkeypatch.setattr(Client, "token", "t\r\nX-Injected: 1")
    (wire, heads, _), (pool, _, _) = both_ways(counting, monkeypatch, lambda: fetch(1))
    assert wire is pool is ValueError and heads == []


#: Pieces of heads and chunked bodies that the generated answers are made of.
PIECES = [
    b"HTTP/1.1 200 OK\r\n", b"HTTP/1.1 1\xb23\r\n", b"HTTP/1.0 100 Continue\r\n", b"X: 1\r\n", b" folded\r\n",
    b"\r\n", b"\n", b"5\r\nabcde\r\n", b"0\r\n", b"FF;x\r\n", b"-1\r\n", b":\r\n", b"\xff\xb2\r\n", b"a" * 40,
]  # fmt: skip


# --- Any bytes at all: an answer or requests' own error, never another exception ---------


def connection_reading(data):
    connection = _wire.Connection("127.0.0.1", 1)
    connection.file = io.BufferedReader(io.BytesIO(data))
    return connection


@given(st.binary(max_size=300) | st.lists(st.sampled_from(PIECES)).map(b"".join))
@settings(database=None, max_examples=300)
def test_any_head_is_read_or_refused(data):
    try:
        status, _reason, version, fields = _wire._read_head(connection_reading(data))
    except _wire._Broken:
        return
    assert 200 <= status <= 999 or 100 > status
    assert version.startswith("HTTP/") and all(name == name.strip() and name for name, _ in fields)


@given(st.binary(max_size=300) | st.lists(st.sampled_from(PIECES)).map(b"".join), st.booleans())
@settings(database=None, max_examples=300)
def test_any_body_is_read_or_refused_as_requests_refuses_it(data, is_chunked):
    origin = _wire.Origin("127.0.0.1", 1, 1)
    body = _wire.Body(connection_reading(data), origin, None if is_chunked else 40, is_chunked, True, None, bool)
    try:
        got = b"".join(body.stream(7))
    except requests.exceptions.ChunkedEncodingError:
        return
    assert len(got) == 40 or is_chunked
