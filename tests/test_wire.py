"""Plain-HTTP requests of quorvex's own session on kept-alive connections, against raw
socket servers that count connections: one connection serves many calls, a connection the
server closed while idle is replaced without an error or a second request, and a request
no server answers fails as requests would fail it."""

import json
import shutil
import socket
import threading

import pandas as pd
import pytest
import requests

import quorvex
import quorvex.service
from quorvex import remote

pytestmark = pytest.mark.timeout(30)

BODY = json.dumps([{"DateTime": "2024-01-02", "Open": 1, "High": 1, "Low": 1, "Close": 1, "Volume": 1}]).encode()


class CountingServer:
    """Answers every request with BODY (keep-alive, Content-Length); counts connections
    and requests. ``per_connection``: requests served before it closes a connection by
    itself, without saying so; ``answer``: False to close without answering."""

    def __init__(self, per_connection=None, answer=True):
        self.per_connection, self.answer = per_connection, answer
        self.connections = self.requests = 0
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
                pending = pending.split(b"\r\n\r\n", 1)[1]
                self.requests += 1
                if not self.answer:
                    return
                connection.sendall(
                    b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n%s"
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
