"""HTTP front of the sample service, on the standard library's threading server.

Routes: POST /api/auth/login issues bearer tokens, kept in memory for the life
of the server; the GET data endpoints answer JSON arrays of row objects for a
ticker and an inclusive date range. Every answer, errors included, is JSON in
UTF-8 with non-ASCII text sent as is.
"""

import datetime as dt
import json
import random
import re
import secrets
import socketserver
import ssl
import sys
import threading
import time
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

from . import data

LOGIN_PATH = "/api/auth/login"
DEFAULT_USERS = {"demo": "demo"}
DEFAULT_PORT = 8765

# Larger login bodies are refused; a login needs a few dozen bytes.
_MAX_BODY = 64 * 1024
_DATE_TEXT = re.compile(r"\d{4}-\d{2}-\d{2}")


class SampleServer(ThreadingHTTPServer):
    """The sample service: a threading HTTP server with its users and tokens.

    Run it with ``serve_forever()`` in any thread, or use ``start()`` and
    ``stop()`` (or a ``with`` block) to run it in a background thread.
    """

    daemon_threads = True

    def __init__(
        self, host="127.0.0.1", port=DEFAULT_PORT, users=None, latency_ms=0, fail_rate=0.0, seed=0, extra_tickers=0
    ):
        if latency_ms < 0:
            raise ValueError(f"latency_ms must be 0 or more, not {latency_ms}")
        if not 0.0 <= fail_rate <= 1.0:
            raise ValueError(f"fail_rate must lie between 0 and 1, not {fail_rate}")
        self.users = dict(DEFAULT_USERS)
        self.users.update(users or {})
        self.latency = latency_ms / 1000
        self.fail_rate = fail_rate
        self._failures = random.Random(seed)
        # Load-test tickers X001, X002, ...: each serves the rows of one real ticker.
        real = sorted(data.TICKERS)
        self.aliases = {f"X{n:03d}": real[(n - 1) % len(real)] for n in range(1, extra_tickers + 1)}
        self._tokens = set()
        self._lock = threading.Lock()
        self._thread = None
        self.scheme = "http"
        #: Connections accepted and data requests answered so far.
        self.connections = 0
        self.requests = 0
        #: Every data request answered: (path, ticker, fromDate, toDate) as sent.
        self.asked = []
        super().__init__((host, port), _Handler)

    def get_request(self):
        request = super().get_request()
        with self._lock:
            self.connections += 1
        return request

    def record(self, path, query):
        """Note a data request's path and range (``query``: its parsed query string)."""
        with self._lock:
            self.asked.append((path, *(query.get(name, [None])[0] for name in ("ticker", "fromDate", "toDate"))))

    def should_fail(self):
        """Count a data request and tell whether it is to be answered 503.

        The draws come from one generator seeded at start, so a run of requests
        sent one after another fails at the same places for the same seed.
        """
        with self._lock:
            self.requests += 1
            return self.fail_rate > 0 and self._failures.random() < self.fail_rate

    def server_bind(self):
        # HTTPServer.server_bind resolves the host's full name, a reverse DNS
        # lookup that can stall where no resolver answers; the name is unused.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    @property
    def base_url(self):
        """The root address, e.g. "http://127.0.0.1:8765" (no trailing slash)."""
        host, port = self.server_address[:2]
        return f"{self.scheme}://{host}:{port}"

    def issue_token(self):
        """Make, remember and return a new bearer token."""
        token = secrets.token_hex(16)
        with self._lock:
            self._tokens.add(token)
        return token

    def is_issued(self, token):
        """Return True if this server issued ``token``."""
        with self._lock:
            return token in self._tokens

    def start(self):
        """Serve in a daemon thread and return self."""
        self._thread = threading.Thread(target=self.serve_forever, name="sample-service", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Stop serving, wait for the serving thread and close the socket."""
        if self._thread is not None:
            self.shutdown()
            self._thread.join()
            self._thread = None
        self.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()

    def handle_error(self, request, client_address):
        # A client that hangs up early, or refuses the certificate (a TLS alert that
        # the handshake raises here, in the connection's thread), is not an error of
        # the service; anything else is a fault and keeps the default traceback.
        if isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError)):
            return
        super().handle_error(request, client_address)


def make_server(host="127.0.0.1", port=DEFAULT_PORT, users=None, latency_ms=0, fail_rate=0.0, seed=0, extra_tickers=0):
    """Create a bound, not yet serving, sample service.

    ``port`` 0 picks a free port (read it back from ``base_url``). ``users``
    maps extra user names to passwords, besides "demo"/"demo". To stand in for a
    remote service, ``latency_ms`` delays every answer and ``fail_rate`` answers
    that share of the data requests with 503, drawn from a generator seeded with
    ``seed``. ``extra_tickers`` adds that many tickers X001, X002, ... for runs
    over many tickers, each serving the rows of one of the real tickers.
    """
    return SampleServer(host, port, users, latency_ms, fail_rate, seed, extra_tickers)


class _Handler(BaseHTTPRequestHandler):
    server_version = "QuorvexSample/1.0"
    # Connections stay open between requests (every answer has a Content-Length),
    # so a client that keeps them alive reuses them.
    protocol_version = "HTTP/1.1"
    # Seconds an idle kept-alive connection may wait for its next request.
    # (BaseHTTPRequestHandler then closes it, through the silent log_message.)
    timeout = 15
    # Headers and body go out in two writes; with Nagle's algorithm the body would
    # wait for the client's delayed acknowledgement (about 40 ms) on a kept-alive
    # connection.
    disable_nagle_algorithm = True

    def log_message(self, format, *args):
        """Stay silent: the service prints nothing per request."""

    def send_error(self, code, message=None, explain=None):
        """Answer a protocol-level error (bad request line, unknown method) in JSON."""
        try:
            phrase = HTTPStatus(code).phrase
        except ValueError:
            phrase = "Error"
        self.close_connection = True
        self._send_json(code, {"error": message or phrase})

    def _send_json(self, status, value):
        body = json.dumps(value, ensure_ascii=False).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _no_route(self, path):
        """Answer 405 for a known path used with the wrong method, 404 otherwise."""
        if path == LOGIN_PATH or path in data.ENDPOINTS:
            self._send_json(405, {"error": f"method {self.command} not allowed on {path}"})
        else:
            self._send_json(404, {"error": f"no such endpoint: {path}"})

    def _delay(self):
        if self.server.latency:
            time.sleep(self.server.latency)

    def do_POST(self):
        self._delay()
        path = urlsplit(self.path).path
        if path != LOGIN_PATH:
            self._no_route(path)
            return
        try:
            length = int(self.headers.get("Content-Length", "0"))
        except ValueError:
            length = -1
        if length < 0 or length > _MAX_BODY:
            self._send_json(400, {"error": "missing or unacceptable Content-Length"})
            return
        try:
            body = json.loads(self.rfile.read(length).decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            body = None
        if not isinstance(body, dict):
            self._send_json(400, {"error": "the body must be a JSON object"})
            return
        username, password = body.get("username"), body.get("password")
        if not isinstance(username, str) or not isinstance(password, str):
            self._send_json(400, {"error": "username and password must be given as text"})
            return
        expected = self.server.users.get(username)
        if expected is None or not secrets.compare_digest(expected.encode("utf-8"), password.encode("utf-8")):
            self._send_json(401, {"error": "invalid username or password"})
            return
        self._send_json(200, {"token": self.server.issue_token()})

    def do_GET(self):
        self._delay()
        url = urlsplit(self.path)
        rows_for = data.ENDPOINTS.get(url.path)
        if rows_for is None:
            self._no_route(url.path)
            return
        query = parse_qs(url.query, keep_blank_values=True)
        self.server.record(url.path, query)
        if self.server.should_fail():
            self._send_json(503, {"error": "service busy, try again"})
            return
        if not self._authorised():
            self._send_json(401, {"error": "missing or unknown bearer token; log in first"})
            return
        ticker = query.get("ticker", [""])[0]
        if not ticker:
            self._send_json(400, {"error": "query parameter 'ticker' is required"})
            return
        bounds = []
        for name in ("fromDate", "toDate"):
            text = query.get(name, [None])[0]
            day = _parse_date(text)
            if day is None:
                message = f"query parameter '{name}' must be a date YYYY-MM-DD, got {text!r}"
                self._send_json(400, {"error": message})
                return
            bounds.append(day)
        symbol = ticker.upper()
        symbol = self.server.aliases.get(symbol, symbol)
        if symbol not in data.TICKERS:
            self._send_json(404, {"error": f"unknown ticker: {ticker}"})
            return
        # A reversed range holds no day, so it answers an empty list like any
        # other range without rows.
        self._send_json(200, rows_for(symbol, bounds[0], bounds[1]))

    def _authorised(self):
        scheme, _, token = self.headers.get("Authorization", "").partition(" ")
        return scheme.lower() == "bearer" and self.server.is_issued(token.strip())


def _parse_date(text):
    """Return the date written as YYYY-MM-DD in ``text``, or None if it is not one."""
    if text is None or not _DATE_TEXT.fullmatch(text):
        return None
    try:
        return dt.datetime.strptime(text, "%Y-%m-%d").date()
    except ValueError:
        return None
