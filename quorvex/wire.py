"""Plain-HTTP GETs of quorvex's own session on kept-alive ``http.client`` connections.

requests and urllib3 spend about a millisecond of the interpreter's time on every
request (settings merged, the address parsed again, pools looked up, headers copied
three times); a download of a whole market is bound by that, not by the network. A GET
to an ``http://`` address of quorvex's own session therefore goes out here: one
connection per concurrent request, kept alive for the next, and the answer read back
into a ``requests.Response`` that the rest of the layer (body cap, time limits,
retries, redirects, refusals) treats as any other. Errors come out as requests' own:
``ConnectionError`` before the answer began, ``ChunkedEncodingError`` for a body cut
short, ``ConnectTimeout`` and ``ReadTimeout``.

HTTPS, proxies and ~/.netrc stay with requests (the caller decides).
"""

import datetime
import http.client
import select
import socket
import threading
import time
import urllib.parse
from typing import Any, Dict, Iterator, List, Optional, Tuple, Union

import requests
from requests.structures import CaseInsensitiveDict

Timeout = Union[None, float, Tuple[Optional[float], Optional[float]]]


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


class _Body:
    """The ``raw`` of a response read from a connection: what the body reader asks of
    urllib3's response (pieces of the body, closing), on ``http.client``'s."""

    def __init__(
        self, answer: http.client.HTTPResponse, connection: http.client.HTTPConnection, origin: "Origin"
    ) -> None:
        self._answer = answer
        self._connection = connection
        self._origin = origin

    def stream(self, amount: int, decode_content: bool = False) -> Iterator[bytes]:
        if decode_content:
            # A coding quorvex did not ask for (its requests accept gzip and deflate,
            # which the body reader unpacks itself).
            coding = self._answer.getheader("Content-Encoding")
            raise requests.exceptions.ContentDecodingError(f"the body's coding {coding!r} was not asked for")
        while True:
            piece = self._answer.read1(amount)
            if not piece:
                break
            yield piece
        # The whole body came: the connection serves the next request, unless either
        # side said it closes.
        self._answer.close()
        if self._answer.will_close:
            self._connection.close()
        else:
            self._origin.keep(self._connection)

    def close(self) -> None:
        self._answer.close()
        self._connection.close()


class Origin:
    """The kept-alive connections to one ``http://host:port`` (most recently used first)."""

    def __init__(self, host: str, port: int, keep_at_most: int) -> None:
        self.host, self.port = host, port
        self.keep_at_most = keep_at_most
        self._idle: List[http.client.HTTPConnection] = []
        self._lock = threading.Lock()

    def take(self) -> Tuple[http.client.HTTPConnection, bool]:
        """A connection, and whether it served a request before."""
        while True:
            with self._lock:
                connection = self._idle.pop() if self._idle else None
            if connection is None:
                return http.client.HTTPConnection(self.host, self.port), False
            if not _dropped(connection.sock):
                return connection, True
            connection.close()

    def keep(self, connection: http.client.HTTPConnection) -> None:
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
    """The origin of a plain ``http://`` address without user information; else None."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme != "http" or not parts.hostname or "@" in parts.netloc:
        return None
    try:
        port = parts.port or 80
    except ValueError:
        return None
    return Origin(parts.hostname, port, keep_at_most)


def _limits(timeout: Timeout) -> Tuple[Optional[float], Optional[float]]:
    if isinstance(timeout, tuple):
        return timeout
    return timeout, timeout


def get(origin: Origin, request: requests.PreparedRequest, timeout: Timeout, watch: Any) -> requests.Response:
    """Send ``request`` (a GET without a body) on a connection of ``origin`` and return
    the response with its headers read and its body still to come (``response.raw``).
    ``watch(sock)`` is given the socket before anything is sent. A kept-alive connection
    found closed by the server when the request goes out is replaced by a new one, once."""
    connect, read = _limits(timeout)
    url = request.url or ""
    rest = url[len("http://") :]
    target = rest[rest.index("/") :] if "/" in rest else "/"
    started = time.perf_counter()
    while True:
        connection, reused = origin.take()
        try:
            if connection.sock is None:
                connection.timeout = connect
                try:
                    connection.connect()
                except socket.timeout as error:
                    raise requests.exceptions.ConnectTimeout(
                        f"connection to {origin.host}:{origin.port} timed out (connect timeout={connect})"
                    ) from error
            watch(connection.sock)
            connection.sock.settimeout(read)
            connection.putrequest("GET", target, skip_accept_encoding=True)
            for name, value in request.headers.items():
                connection.putheader(name, value)
            connection.endheaders()
            answer = connection.getresponse()
        except requests.exceptions.RequestException:
            connection.close()
            raise
        except socket.timeout as error:
            connection.close()
            raise requests.exceptions.ReadTimeout(f"Read timed out (read timeout={read})") from error
        except (OSError, http.client.HTTPException) as error:
            connection.close()
            if reused and isinstance(error, (http.client.RemoteDisconnected, BrokenPipeError, ConnectionResetError)):
                continue  # closed by the server between two requests: a new connection
            raise requests.exceptions.ConnectionError(f"Connection aborted: {error!r}") from error
        break
    response = requests.Response()
    response.status_code = answer.status
    response.reason = answer.reason
    response.headers = CaseInsensitiveDict(_joined_headers(answer.getheaders()))
    response.encoding = requests.utils.get_encoding_from_headers(response.headers)
    response.url = url
    response.raw = _Body(answer, connection, origin)
    response.elapsed = datetime.timedelta(seconds=time.perf_counter() - started)
    response.request = request
    return response


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
