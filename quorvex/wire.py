"""Plain-HTTP GETs of quorvex's own session on kept-alive connections of its own.

requests and urllib3 spend about a millisecond of the interpreter's time on every
request (settings merged, the address parsed again, pools looked up, headers copied
three times, the answer's head parsed by the e-mail parser); a download of a whole
market is bound by that, not by the network. A GET to an ``http://`` address of
quorvex's own session therefore goes out here: one connection per concurrent request,
kept alive for the next, the request written as one piece of bytes (its headers made
once per distinct set, see ``header_block``), the answer's head read by a small HTTP/1.1
reader with http.client's limits, and the answer handed back as a ``requests.Response``
whose body the rest of the layer (body cap, time limits, retries, redirects, refusals)
reads as any other. Errors come out as requests' own: ``ConnectionError`` before the
answer began, ``ChunkedEncodingError`` for a body cut short or badly framed,
``ConnectTimeout`` and ``ReadTimeout``.

HTTPS, proxies and ~/.netrc stay with requests (the caller decides).
"""

import datetime
import re
import select
import socket
import threading
import time
import urllib.parse
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple, Union

import requests
from requests.structures import CaseInsensitiveDict

Timeout = Union[None, float, Tuple[Optional[float], Optional[float]]]

# http.client's limits on an answer's head: a hostile server cannot make it grow without end.
MAX_LINE = 65536
MAX_HEADERS = 100

# What http.client refuses to put in a request's line or headers.
_BAD_TARGET = re.compile("[\x00-\x20\x7f]")
_LEGAL_NAME = re.compile(rb"[^:\s][^:\r\n]*")
_ILLEGAL_VALUE = re.compile(rb"\n(?![ \t])|\r(?![ \t\n])")
_CHUNK_SIZE = re.compile(rb"[0-9A-Fa-f]{1,16}")


class _Broken(Exception):
    """The answer's head could not be read: ``reason`` says why; ``closed`` when the
    server closed the connection before any byte of it."""

    def __init__(self, reason: str, closed: bool = False) -> None:
        super().__init__(reason)
        self.closed = closed


def header_block(headers: Iterable[Tuple[Any, Any]]) -> bytes:
    """The request's header lines as sent (names in ASCII, values in Latin-1), checked
    as http.client checks them: a value with a line break is a ``ValueError``."""
    lines = []
    for name, value in headers:
        raw_name = name.encode("ascii") if isinstance(name, str) else bytes(name)
        if not _LEGAL_NAME.fullmatch(raw_name):
            raise ValueError(f"Invalid header name {raw_name!r}")
        if isinstance(value, str):
            raw_value = value.encode("latin-1")
        elif isinstance(value, int):
            raw_value = str(value).encode("ascii")
        else:
            raw_value = bytes(value)
        if _ILLEGAL_VALUE.search(raw_value):
            raise ValueError(f"Invalid header value {raw_value!r}")
        lines.append(raw_name + b": " + raw_value + b"\r\n")
    return b"".join(lines)


class Connection:
    """One connection to an origin: its socket and the buffered reader of its answers."""

    def __init__(self, host: str, port: int) -> None:
        self.host, self.port = host, port
        self.sock: Optional[socket.socket] = None
        self.file: Any = None

    def connect(self, timeout: Optional[float]) -> None:
        sock = socket.create_connection((self.host, self.port), timeout)
        # The request goes out in one piece; nothing is gained by waiting to join it.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock, self.file = sock, sock.makefile("rb")

    def close(self) -> None:
        file, sock = self.file, self.sock
        self.file = self.sock = None
        if file is not None:
            file.close()
        if sock is not None:
            sock.close()

    def line(self, what: str) -> bytes:
        line = self.file.readline(MAX_LINE + 1)
        if len(line) > MAX_LINE:
            raise _Broken(f"the {what} is longer than {MAX_LINE} bytes")
        return line


def _dropped(sock: Optional[socket.socket]) -> bool:
    """Whether a kept-alive connection can no longer be used: closed by the server (it
    reads as ready, with end of file) or holding bytes nobody asked for."""
    if sock is None:
        return True
    try:
        if hasattr(select, "poll"):
            poller = select.poll()
            poller.register(sock, select.POLLIN)
            return bool(poller.poll(0))
        return bool(select.select([sock], [], [], 0)[0])
    except (OSError, ValueError):
        return True


class Origin:
    """The kept-alive connections to one ``http://host:port`` (most recently used first)."""

    def __init__(self, host: str, port: int, keep_at_most: int) -> None:
        self.host, self.port = host, port
        self.keep_at_most = keep_at_most
        named = f"[{host}]" if ":" in host else host
        self.host_line = b"Host: " + (named if port == 80 else f"{named}:{port}").encode("ascii") + b"\r\n"
        self._idle: List[Connection] = []
        self._lock = threading.Lock()

    def take(self) -> Tuple[Connection, bool]:
        """A connection, and whether it served a request before."""
        while True:
            with self._lock:
                connection = self._idle.pop() if self._idle else None
            if connection is None:
                return Connection(self.host, self.port), False
            if not _dropped(connection.sock):
                return connection, True
            connection.close()

    def keep(self, connection: Connection) -> None:
        with self._lock:
            if len(self._idle) < self.keep_at_most:
                self._idle.append(connection)
                return
        connection.close()

    def close(self) -> None:
        with self._lock:
            idle, self._idle = self._idle, []
        for connection in idle:
            connection.close()


def origin_of(url: str, keep_at_most: int) -> Optional[Origin]:
    """The origin of a plain ``http://`` address with an ASCII host and without user
    information; else None."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme != "http" or not parts.hostname or "@" in parts.netloc or not parts.hostname.isascii():
        return None
    try:
        port = parts.port or 80
    except ValueError:
        return None
    return Origin(parts.hostname, port, keep_at_most)


class Body:
    """The ``raw`` of a response read from a connection: what the body reader asks of
    urllib3's response (pieces of the body, closing). ``length``: the bytes still to
    come, or None for a chunked body (``chunked``) or one that ends with the
    connection; ``keep``: whether the connection serves the next request once the
    body is in."""

    def __init__(
        self,
        connection: Connection,
        origin: Origin,
        length: Optional[int],
        chunked: bool,
        keep: bool,
        coding: Optional[str],
        release: Callable[[socket.socket], bool],
    ) -> None:
        self._connection = connection
        self._origin = origin
        self._length = length
        self._chunked = chunked
        self._keep = keep
        self._coding = coding
        self._release = release
        self._done = False

    def stream(self, amount: int, decode_content: bool = False) -> Iterator[bytes]:
        if decode_content:
            # A coding quorvex did not ask for (its requests accept gzip and deflate,
            # which the body reader unpacks itself).
            raise requests.exceptions.ContentDecodingError(f"the body's coding {self._coding!r} was not asked for")
        file = self._connection.file
        if self._chunked:
            yield from self._chunks(amount)
        elif self._length is None:
            while True:
                piece = file.read1(amount)
                if not piece:
                    break
                yield piece
        else:
            left = self._length
            while left > 0:
                piece = file.read1(min(amount, left))
                if not piece:
                    raise requests.exceptions.ChunkedEncodingError(
                        f"Connection broken: the body ended {left} bytes short of its length"
                    )
                left -= len(piece)
                yield piece
        # The whole body came: the connection serves the next request, unless either
        # side said it closes (or the attempt's time ran out meanwhile). It is no longer
        # this response's to close.
        self._done = True
        sock = self._connection.sock
        if self._keep and sock is not None and self._release(sock):
            self._origin.keep(self._connection)
        else:
            self._connection.close()

    def _chunks(self, amount: int) -> Iterator[bytes]:
        connection = self._connection
        while True:
            line = connection.file.readline(MAX_LINE + 1)
            size_text = line.split(b";", 1)[0].strip()
            size = int(size_text, 16) if _CHUNK_SIZE.fullmatch(size_text) and len(line) <= MAX_LINE else -1
            if size < 0:
                raise requests.exceptions.ChunkedEncodingError(
                    f"Connection broken: invalid chunk length {line[:40]!r}"
                    if line
                    else "Connection broken: the body ended before its last chunk"
                )
            if size == 0:
                break
            while size > 0:
                piece = connection.file.read1(min(amount, size))
                if not piece:
                    raise requests.exceptions.ChunkedEncodingError("Connection broken: a chunk ended short")
                size -= len(piece)
                yield piece
            if connection.file.readline(MAX_LINE + 1) not in (b"\r\n", b"\n"):
                raise requests.exceptions.ChunkedEncodingError("Connection broken: no line end after a chunk")
        # The trailer: header lines up to an empty one, dropped (as http.client drops them).
        for _ in range(MAX_HEADERS + 1):
            line = connection.file.readline(MAX_LINE + 1)
            if line in (b"\r\n", b"\n"):
                return
            if not line or len(line) > MAX_LINE:
                break
        raise requests.exceptions.ChunkedEncodingError("Connection broken: no end to the chunked body's trailer")

    def close(self) -> None:
        if not self._done:
            self._connection.close()


def _limits(timeout: Timeout) -> Tuple[Optional[float], Optional[float]]:
    if isinstance(timeout, tuple):
        return timeout
    return timeout, timeout


def _read_head(connection: Connection) -> Tuple[int, str, str, List[Tuple[str, str]]]:
    """The status, reason, version and header fields of the answer on ``connection``
    (interim 1xx answers skipped)."""
    while True:
        line = connection.line("status line")
        if not line:
            raise _Broken("the server closed the connection without an answer", closed=True)
        text = str(line, "iso-8859-1")
        parts = text.split(None, 2)
        version, code = (parts + ["", ""])[:2]
        if not version.startswith("HTTP/") or not (len(code) == 3 and code.isascii() and code.isdigit()):
            raise _Broken(f"not an HTTP status line: {text[:80]!r}")
        status = int(code)
        if status < 100:
            raise _Broken(f"not an HTTP status line: {text[:80]!r}")
        fields: List[Tuple[str, str]] = []
        while True:
            line = connection.line("header line")
            if line in (b"\r\n", b"\n", b""):
                break
            if len(fields) >= MAX_HEADERS:
                raise _Broken(f"more than {MAX_HEADERS} header lines")
            text = str(line, "iso-8859-1")
            if text[0] in " \t" and fields:
                # A folded line continues the field before it.
                name, value = fields[-1]
                fields[-1] = (name, f"{value} {text.strip()}".strip())
                continue
            name, colon, value = text.partition(":")
            if colon and name and name == name.strip():
                fields.append((name, value.strip()))
        if not 100 <= status < 200:
            return status, parts[2].strip() if len(parts) > 2 else "", version, fields


def get(
    origin: Origin,
    request: requests.PreparedRequest,
    head: bytes,
    timeout: Timeout,
    watch: Callable[[socket.socket], None],
    release: Callable[[socket.socket], bool],
) -> requests.Response:
    """Send ``request`` (a GET without a body, its header lines ``head``) on a
    connection of ``origin`` and return the response with its headers read and its body
    still to come (``response.raw``). ``watch(sock)`` is given the socket before
    anything is sent, ``release(sock)`` once the body is in, before the connection goes
    back to serve another request (False: it may not). A kept-alive connection found
    closed by the server when the request goes out is replaced by a new one, once."""
    connect, read = _limits(timeout)
    url = request.url or ""
    rest = url[len("http://") :]
    target = rest[rest.index("/") :] if "/" in rest else "/"
    if not target.isascii() or _BAD_TARGET.search(target):
        raise requests.exceptions.InvalidURL(f"the address {url!r} holds characters a request line cannot carry")
    message = b"GET " + target.encode("ascii") + b" HTTP/1.1\r\n" + origin.host_line + head + b"\r\n"
    started = time.perf_counter()
    while True:
        connection, reused = origin.take()
        try:
            if connection.sock is None:
                try:
                    connection.connect(connect)
                except socket.timeout as error:
                    raise requests.exceptions.ConnectTimeout(
                        f"connection to {origin.host}:{origin.port} timed out (connect timeout={connect})"
                    ) from error
            assert connection.sock is not None
            watch(connection.sock)
            connection.sock.settimeout(read)
            connection.sock.sendall(message)
            status, reason, version, fields = _read_head(connection)
        except requests.exceptions.RequestException:
            connection.close()
            raise
        except socket.timeout as error:
            connection.close()
            raise requests.exceptions.ReadTimeout(f"Read timed out (read timeout={read})") from error
        except (OSError, _Broken) as error:
            connection.close()
            closed = isinstance(error, (BrokenPipeError, ConnectionResetError)) or getattr(error, "closed", False)
            if reused and closed:
                continue  # closed by the server between two requests: a new connection
            raise requests.exceptions.ConnectionError(f"Connection aborted: {error}") from error
        break
    joined = _joined_headers(fields)
    headers = case_insensitive(joined)
    length, chunked, keep = _framing(status, version, {name.lower(): value for name, value in joined.items()})
    response = requests.Response()
    response.status_code = status
    response.reason = reason
    response.headers = headers
    response.encoding = requests.utils.get_encoding_from_headers(headers)
    response.url = url
    response.raw = Body(connection, origin, length, chunked, keep, headers.get("Content-Encoding"), release)
    response.elapsed = datetime.timedelta(seconds=time.perf_counter() - started)
    response.request = request
    return response


def case_insensitive(headers: Dict[str, Any]) -> CaseInsensitiveDict:
    """``CaseInsensitiveDict(headers)``, filled without its per-item Python steps where
    its layout is the known one (a dict of lower-case name to (name, value))."""
    made: CaseInsensitiveDict = CaseInsensitiveDict()
    kept = getattr(made, "_store", None)
    if isinstance(kept, dict) and not kept:
        kept.update((name.lower(), (name, value)) for name, value in headers.items())
    else:
        made.update(headers)
    return made


def _framing(status: int, version: str, lower: Dict[str, str]) -> Tuple[Optional[int], bool, bool]:
    """Where the body ends, as HTTP/1.1 says (``lower``: the headers by lower-case
    name): (its length or None, whether it is chunked, whether the connection can
    serve another request after it)."""
    keep = version == "HTTP/1.1" and "close" not in lower.get("connection", "").lower()
    if status in (204, 304):
        return 0, False, keep
    if "chunked" in lower.get("transfer-encoding", "").lower():
        return None, True, keep
    declared = lower.get("content-length")
    if declared is not None:
        values = {value.strip() for value in declared.split(",")}
        if len(values) == 1:
            value = values.pop()
            if value.isdigit() and value.isascii():
                return int(value), False, keep
        # A length that cannot be trusted: the body ends with the connection.
    return None, False, False


def _joined_headers(items: List[Tuple[str, str]]) -> Dict[str, str]:
    # As urllib3 joins a header sent more than once.
    joined: Dict[str, str] = {}
    for name, value in items:
        key = name.lower()
        if key in joined:
            joined[key] = f"{joined[key]}, {value}"
        else:
            joined[key] = value
    if len(joined) == len(items):
        return dict(items)
    firsts = {name.lower(): name for name, _ in reversed(items)}
    return {firsts[key]: value for key, value in joined.items()}
