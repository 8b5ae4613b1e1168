"""quorvex's own transport: answers framed wrongly on a kept-alive connection never
become another ticker's table; the token survives a ~/.netrc entry; proxies and the CA
bundle come from where requests finds them; every attempt is logged."""

import logging
import socket
import threading
import time
import urllib.parse

import pytest
import requests

import quorvex
from hostile_servers import Answer, HostileServer, drip_headers, json_rows
from quorvex.process_client.login import Client

pytestmark = pytest.mark.timeout(60)

FROM, TO = "2024-01-01", "2024-01-31"
TOKEN = "tok-5a1d"
CLOSE = {"AAA": 1, "BBB": 2, "CCC": 3}
EVIL = 666


def rows(close):
    return json_rows(
        [{"DateTime": "2024-01-02", "Open": close, "High": close, "Low": close, "Close": close, "Volume": 1}]
    )


def answer(body, head=b""):
    return b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n%sContent-Length: %d\r\n\r\n%s" % (
        head,
        len(body),
        body,
    )


def chunked(body):
    return b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body)


#: Ways a server frames the answer for the first ticker wrongly, each leaving bytes on
#: the connection that a careless client reads as the next ticker's answer.
FRAMINGS = {
    "another answer in the same segment": lambda body: answer(body) + answer(rows(EVIL)),
    "chunked with a length, then more": lambda body: (
        b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n"
        + chunked(body)
        + answer(rows(EVIL))
    ),
    # A byte-order mark is three bytes and one character: two bytes are left over.
    "a length in characters": lambda body: (
        b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n\xef\xbb\xbf%s\n\n" % (len(body) + 3, body)
    ),
}


class KeptAlive:
    """A raw HTTP/1.1 server that keeps every connection open and answers each request
    on it in turn: the first ticker's answer framed by ``framing``, the others well."""

    def __init__(self, framing):
        self.framing = framing
        self.asked = []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:%d" % self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        buffer = b""
        with connection:
            while True:
                while b"\r\n\r\n" not in buffer:
                    data = connection.recv(65536)
                    if not data:
                        return
                    buffer += data
                head, _, buffer = buffer.partition(b"\r\n\r\n")
                target = head.split(b" ")[1].decode()
                ticker = urllib.parse.parse_qs(urllib.parse.urlsplit(target).query)["ticker"][0]
                self.asked.append(ticker)
                body = rows(CLOSE[ticker])
                connection.sendall(self.framing(body) if ticker == "AAA" else answer(body))

    def close(self):
        self.listener.close()


def closes(table):
    return sorted(set(table["Close"].tolist()))


@pytest.mark.parametrize("store", [False, True], ids=["no store", "store"])
@pytest.mark.parametrize("framing", FRAMINGS.values(), ids=FRAMINGS.keys())
def test_each_ticker_gets_its_own_rows_or_an_error_never_anothers(framing, store, cli_at, tmp_path):
    server = KeptAlive(framing)
    cli_at(server.url)
    Client.token = TOKEN
    try:
        quorvex.configure(timeout=5, store=tmp_path / "kept.sqlite3" if store else None)
        for _ in range(2):  # the second time from the store, where one is kept
            outcomes = {}
            for ticker in CLOSE:
                try:
                    outcomes[ticker] = closes(quorvex.get_pricebars(ticker, FROM, TO, "D"))
                except Exception as error:  # noqa: BLE001  (a clear error is allowed)
                    outcomes[ticker] = type(error)
            try:
                table = quorvex.download("pricebars", list(CLOSE), FROM, TO, workers=1)
            except quorvex.DownloadError as error:
                table = error.table
            together = {} if table is None else {t: closes(g) for t, g in table.groupby("ticker")}
            for ticker, close in CLOSE.items():
                assert outcomes[ticker] == [close] or isinstance(outcomes[ticker], type), outcomes
                assert together.get(ticker, [close]) == [close], together
            # The tickers framed well come whole, on a connection of their own if need be.
            assert outcomes["BBB"] == [2] and outcomes["CCC"] == [3]
    finally:
        server.close()


def test_a_netrc_entry_leaves_the_token_in_place(cli_at, monkeypatch, tmp_path):
    netrc = tmp_path / ".netrc"
    netrc.write_text("machine 127.0.0.1 login someone password elsewhere\n")
    netrc.chmod(0o600)
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("NETRC", str(netrc))
    with HostileServer(Answer(body=rows(1))) as server:
        cli_at(server.url)
        Client.token = TOKEN
        quorvex.configure(timeout=5)
        assert closes(quorvex.get_pricebars("AAA", FROM, TO, "D")) == [1]
    assert server.received[0].headers["authorization"] == f"Bearer {TOKEN}"


@pytest.mark.filterwarnings("ignore::quorvex.remote.InsecureCredentialsWarning")
def test_proxies_come_from_the_environment_as_requests_reads_them(cli_at, monkeypatch):
    """Catches a proxy of the environment not used, NO_PROXY not heeded, and an attempt
    through a proxy left without its time limit."""
    monkeypatch.delenv("NO_PROXY", raising=False)
    with HostileServer(Answer(body=rows(7))) as proxy:
        monkeypatch.setenv("HTTP_PROXY", proxy.url)
        cli_at("http://data.invalid")
        Client.token = TOKEN
        quorvex.configure(timeout=5)
        assert closes(quorvex.get_pricebars("AAA", FROM, TO, "D")) == [7]
        # NO_PROXY names the host: straight to it, which does not exist.
        monkeypatch.setenv("no_proxy", "data.invalid")
        quorvex.configure(timeout=5)
        with pytest.raises(requests.exceptions.ConnectionError):
            quorvex.get_pricebars("AAA", FROM, TO, "D")
    assert proxy.received[0].target.startswith("http://data.invalid/api/")
    assert len(proxy.received) == 1
    # A proxy that drips its headers a byte at a time: only a watched connection ends
    # that attempt in time.
    with drip_headers(0.3) as slow:
        monkeypatch.setenv("HTTP_PROXY", slow.url)
        monkeypatch.delenv("no_proxy")
        quorvex.configure(timeout=1)
        started = time.monotonic()
        with pytest.raises(requests.exceptions.Timeout):
            quorvex.get_pricebars("AAA", FROM, TO, "D")
        assert time.monotonic() - started < 5 and slow.received


@pytest.mark.skipif(__import__("shutil").which("openssl") is None, reason="needs the openssl command")
def test_a_self_signed_service_works_through_verify(sample_service_module, tmp_path, cli_at):
    from sample_service.tls import serve_tls

    with sample_service_module.make_server(port=0) as server:
        certificate = serve_tls(server, str(tmp_path))
        cli_at(server.base_url)
        for verify, works in [(True, False), (certificate, True), (False, True)]:
            quorvex.configure(timeout=10, verify=verify)
            Client.token = None
            if works:
                Client().login("demo", "demo")
                assert len(quorvex.get_pricebars("FPT", FROM, TO, "D")) > 0
            else:
                with pytest.raises(requests.exceptions.SSLError, match="certificate verify failed"):
                    Client().login("demo", "demo")


def test_every_attempt_is_logged_and_a_download_sums_up(cli_at, caplog):
    served = iter([Answer(status=503), Answer(body=rows(1)), Answer(body=rows(2))])
    with HostileServer(lambda request, attempt: next(served)) as server:
        url = server.url
        cli_at(url)
        Client.token = TOKEN
        quorvex.configure(timeout=5, retries=1, backoff=0)
        with caplog.at_level(logging.DEBUG, logger="quorvex"):
            table = quorvex.download("pricebars", ["AAA", "BBB"], FROM, TO, workers=1)
    assert closes(table) == [1, 2]
    attempts = [record.getMessage() for record in caplog.records if record.levelno == logging.DEBUG]
    assert len(attempts) == 3 and all(line.startswith(f"GET {url}/api/stock/pricebars?ticker=") for line in attempts)
    assert "status 503" in attempts[0] and attempts[1].endswith("attempt 2") and attempts[2].endswith("attempt 1")
    summary = [record.getMessage() for record in caplog.records if record.levelno == logging.INFO]
    assert summary == ["download pricebars: 2 tickers, 3 requests sent, 0 answered from the store, 1 retried, 0 failed"]
    assert not [record for record in caplog.records if record.levelno >= logging.WARNING]


@pytest.mark.parametrize("location", ["file:///etc/passwd", "ftp://127.0.0.1/rows", "dict://127.0.0.1:11211/"])
def test_a_redirect_leaves_http_only_with_an_error(cli_at, location):
    with HostileServer(Answer(status=302, headers={"Location": location})) as server:
        cli_at(server.url)
        Client.token = TOKEN
        quorvex.configure(timeout=5)
        with pytest.raises(requests.exceptions.InvalidSchema, match="not http or https"):
            quorvex.get_pricebars("AAA", FROM, TO, "D")
