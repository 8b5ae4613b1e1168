"""HTTP servers on 127.0.0.1 that misbehave the way real networks and services do.

An HTTP library cannot misbehave enough (drip bytes, cut a body halfway, answer with a
broken header), so these speak HTTP/1.1 over raw sockets. Each server is a context
manager; inside it, ``server.url`` is its root ("http://127.0.0.1:<port>") and
``server.received`` lists what came in, in order::

    with HostileServer(Answer(status=503, headers={"Retry-After": "soon"})) as server:
        ...  # send requests to server.url
    assert [r.target for r in server.received] == [...]

What to answer is an ``Answer`` (the same for every request), a list of them (taken in
turn, the last one repeated) or a function ``(request, attempt) -> Answer``; ``attempt``
counts the requests for the same target, from 1. The shortcuts below build the common
cases: ``silent()``, ``drip_body()``, ``drip_headers()``, ``cut_body()``, ``huge()``,
``gzip_bomb()``.

Every server stays bounded: it answers one request per connection and then closes it
("Connection: close"); threads are daemons; every loop ends when the ``with`` block
ends or ``lifetime`` seconds after the start; the sockets are closed on exit. To use
one from a subprocess script, put this directory on ``sys.path`` (``helpers.TESTS_DIR``)
and import ``hostile_servers``.
"""

from __future__ import annotations

import dataclasses
import json
import socket
import threading
import time
import zlib
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Union


class Repeat:
    """A body of ``piece`` sent ``times`` times, never held whole in memory."""

    def __init__(self, piece: bytes, times: int) -> None:
        self.piece, self.times = piece, times

    def __len__(self) -> int:
        return len(self.piece) * self.times

    def __iter__(self) -> Iterator[bytes]:
        for _ in range(self.times):
            yield self.piece


Body = Union[bytes, Repeat]


@dataclasses.dataclass
class Answer:
    """One scripted answer.

    ``framing``: "length" sends Content-Length, "chunked" sends the body in chunks,
    "close" sends neither and ends the body by closing the connection.
    ``headers`` are sent as given (a Content-Type of application/json is added unless
    one is given). ``cut_after``: close the connection after that many body bytes, the
    framing promising more. ``drip``: seconds between single body bytes (after the
    headers came at once); ``drip_headers``: seconds between single bytes of the status
    line and headers, which never end. ``silent``: read the request, never answer.
    ``drop``: read the request, close the connection without a byte of answer.
    """

    status: int = 200
    body: Body = b""
    headers: Mapping[str, str] = dataclasses.field(default_factory=dict)
    framing: str = "length"
    reason: Optional[str] = None
    cut_after: Optional[int] = None
    drip: Optional[float] = None
    drip_headers: Optional[float] = None
    silent: bool = False
    drop: bool = False


@dataclasses.dataclass
class Received:
    """A request as it came: ``headers`` keyed by lower-case name."""

    method: str
    target: str
    headers: Dict[str, str]
    body: bytes
    at: float  # time.monotonic() when it had come whole

    @property
    def path(self) -> str:
        return self.target.split("?", 1)[0]


Responder = Union[Answer, Sequence[Answer], Callable[[Received, int], Answer]]

REASONS = {
    200: "OK",
    301: "Moved Permanently",
    302: "Found",
    303: "See Other",
    307: "Temporary Redirect",
    308: "Permanent Redirect",
    400: "Bad Request",
    401: "Unauthorized",
    404: "Not Found",
    422: "Unprocessable Entity",
    429: "Too Many Requests",
    500: "Internal Server Error",
    502: "Bad Gateway",
    503: "Service Unavailable",
    504: "Gateway Timeout",
}


class HostileServer:
    """Serves ``responder`` on 127.0.0.1 (a free port) while the ``with`` block runs."""

    def __init__(self, responder: Responder, *, lifetime: float = 120.0) -> None:
        self._responder = responder
        self.lifetime = lifetime
        self.received: List[Received] = []
        self._attempts: Dict[str, int] = {}
        self._turn = 0
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._ends_at = 0.0
        self._open: List[socket.socket] = []
        self._listener: Optional[socket.socket] = None
        self._thread: Optional[threading.Thread] = None

    # -- life cycle --

    def __enter__(self) -> HostileServer:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", 0))
        listener.listen(128)
        listener.settimeout(0.1)
        self._listener = listener
        self._ends_at = time.monotonic() + self.lifetime
        self._thread = threading.Thread(target=self._accept_loop, name="hostile-accept", daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def close(self) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join(2)
        with self._lock:
            sockets, self._open = self._open, []
        for sock in sockets:
            _close(sock)
        if self._listener is not None:
            _close(self._listener)

    @property
    def port(self) -> int:
        assert self._listener is not None, "use the server inside its with block"
        return int(self._listener.getsockname()[1])

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def _running(self) -> bool:
        return not self._stop.is_set() and time.monotonic() < self._ends_at

    def _pause(self, seconds: float) -> bool:
        """Wait ``seconds``; False when the server is stopping meanwhile."""
        return not self._stop.wait(seconds) and time.monotonic() < self._ends_at

    # -- serving --

    def _accept_loop(self) -> None:
        assert self._listener is not None
        while self._running():
            try:
                connection, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                self._open.append(connection)
            threading.Thread(target=self._serve, args=(connection,), name="hostile-conn", daemon=True).start()

    def _serve(self, connection: socket.socket) -> None:
        try:
            connection.settimeout(1.0)
            request = self._read_request(connection)
            if request is None:
                return
            self.received.append(request)
            with self._lock:
                attempt = self._attempts[request.target] = self._attempts.get(request.target, 0) + 1
                turn, self._turn = self._turn, self._turn + 1
            answer = self._choose(request, attempt, turn)
            connection.settimeout(10.0)  # a client that stops reading cannot hold a send forever
            self._answer(connection, answer)
        except OSError:
            pass  # the client went away: that is its right
        finally:
            _close(connection)
            with self._lock:
                if connection in self._open:
                    self._open.remove(connection)

    def _choose(self, request: Received, attempt: int, turn: int) -> Answer:
        responder = self._responder
        if isinstance(responder, Answer):
            return responder
        if callable(responder):
            return responder(request, attempt)
        return responder[min(turn, len(responder) - 1)]

    def _read_request(self, connection: socket.socket) -> Optional[Received]:
        data = b""
        while b"\r\n\r\n" not in data:
            if not self._running() or len(data) > 1 << 20:
                return None
            try:
                piece = connection.recv(65536)
            except socket.timeout:
                continue
            if not piece:
                return None
            data += piece
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        method, target = lines[0].split(" ")[:2]
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        length = int(headers.get("content-length", "0") or 0)
        while len(body) < length:
            if not self._running():
                return None
            try:
                piece = connection.recv(65536)
            except socket.timeout:
                continue
            if not piece:
                break
            body += piece
        return Received(method, target, headers, body, time.monotonic())

    def _answer(self, connection: socket.socket, answer: Answer) -> None:
        if answer.drop:
            return
        if answer.silent:
            while self._pause(0.1):
                pass
            return
        reason = answer.reason if answer.reason is not None else REASONS.get(answer.status, "Unknown")
        headers = dict(answer.headers)
        if not any(name.lower() == "content-type" for name in headers):
            headers["Content-Type"] = "application/json"
        if answer.framing == "length" and not any(name.lower() == "content-length" for name in headers):
            headers["Content-Length"] = str(len(answer.body))
        elif answer.framing == "chunked":
            headers["Transfer-Encoding"] = "chunked"
        headers["Connection"] = "close"
        head = f"HTTP/1.1 {answer.status} {reason}\r\n"
        head += "".join(f"{name}: {value}\r\n" for name, value in headers.items())
        if answer.drip_headers is not None:
            # The status line, then a header that never ends, one byte at a time.
            for byte in _endless(head.encode("latin-1"), b"X-Padding: " + b"a" * 1000):
                if not self._pause(answer.drip_headers):
                    return
                connection.sendall(byte)
            return
        connection.sendall((head + "\r\n").encode("latin-1"))
        sent = 0
        for piece in _pieces(answer.body, 1 if answer.drip is not None else 65536):
            if answer.cut_after is not None and sent + len(piece) >= answer.cut_after:
                piece = piece[: answer.cut_after - sent]
                if piece:
                    connection.sendall(_frame(piece, answer.framing))
                _reset(connection)
                return
            if answer.drip is not None and not self._pause(answer.drip):
                return
            if not self._running():
                return
            connection.sendall(_frame(piece, answer.framing))
            sent += len(piece)
        if answer.cut_after is not None:
            _reset(connection)
            return
        if answer.framing == "chunked":
            connection.sendall(b"0\r\n\r\n")


def _pieces(body: Body, size: int) -> Iterator[bytes]:
    for block in [body] if isinstance(body, bytes) else body:
        for start in range(0, len(block), size):
            yield block[start : start + size]


def _endless(first: bytes, then: bytes) -> Iterator[bytes]:
    for index in range(len(first)):
        yield first[index : index + 1]
    while True:
        for index in range(len(then)):
            yield then[index : index + 1]


def _frame(piece: bytes, framing: str) -> bytes:
    return b"%x\r\n%s\r\n" % (len(piece), piece) if framing == "chunked" else piece


def _reset(connection: socket.socket) -> None:
    """End the connection at once, as a network that drops it does."""
    try:
        connection.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


def _close(sock: socket.socket) -> None:
    try:
        sock.close()
    except OSError:
        pass


# -- shortcuts --


def json_rows(rows: Any) -> bytes:
    return json.dumps(rows).encode()


def silent(**options: Any) -> HostileServer:
    """Accepts connections and reads the requests, never answers."""
    return HostileServer(Answer(silent=True), **options)


def drip_body(interval: float = 0.5, size: int = 1 << 20, **options: Any) -> HostileServer:
    """Sends status 200 and headers promising ``size`` bytes, then one byte every ``interval`` s."""
    return HostileServer(Answer(body=b"[" + b" " * (size - 1), drip=interval), **options)


def drip_headers(interval: float = 0.5, **options: Any) -> HostileServer:
    """Sends the status line and a header that never ends, one byte every ``interval`` s."""
    return HostileServer(Answer(drip_headers=interval), **options)


def cut_body(
    body: bytes,
    *,
    first: Optional[int] = None,
    every: Optional[int] = None,
    framing: str = "length",
    **options: Any,
) -> HostileServer:
    """Answers 200 with ``body`` but drops the connection halfway through it.

    With ``first=k`` only the first k attempts at a target are cut (the later ones get
    the whole body); with ``every=n`` only one target in n is (the 1st, (n+1)-th, ...
    target to arrive); with neither, every answer is cut.
    """
    order: Dict[str, int] = {}
    lock = threading.Lock()

    def respond(request: Received, attempt: int) -> Answer:
        with lock:
            arrived = order.setdefault(request.target, len(order))
        cut = (first is None or attempt <= first) and (every is None or arrived % every == 0)
        return Answer(body=body, framing=framing, cut_after=max(1, len(body) // 2) if cut else None)

    return HostileServer(respond, **options)


def huge(size: int = 256 << 20, *, framing: str = "length", status: int = 200, **options: Any) -> HostileServer:
    """Answers ``status`` with ``size`` bytes of a JSON-looking body (sent, never held)."""
    piece = b"[" + b" " * ((1 << 16) - 1)
    return HostileServer(Answer(status=status, body=Repeat(piece, max(1, size >> 16)), framing=framing), **options)


_bombs: Dict[int, bytes] = {}


def gzip_bomb_body(size: int = 256 << 20) -> bytes:
    """A gzip stream that unpacks to ``size`` bytes (a JSON list opening, then spaces),
    built piece by piece so it never holds the unpacked bytes."""
    if size not in _bombs:
        packer = zlib.compressobj(9, zlib.DEFLATED, 31)  # wbits 31: the gzip format
        parts = [packer.compress(b"[")]
        block = b" " * (1 << 20)
        left = size - 1
        while left > 0:
            parts.append(packer.compress(block[: min(left, len(block))]))
            left -= len(block)
        parts.append(packer.flush())
        _bombs[size] = b"".join(parts)
    return _bombs[size]


def gzip_bomb(size: int = 256 << 20, *, status: int = 200, **options: Any) -> HostileServer:
    """Answers ``status`` with "Content-Encoding: gzip" and a small body unpacking to ``size``."""
    return HostileServer(
        Answer(status=status, body=gzip_bomb_body(size), headers={"Content-Encoding": "gzip"}), **options
    )
