"""Using a real, remote service: time limits, retries, connection reuse, many tickers.

Nothing here changes how the data functions behave until it is asked to. By default
each data module's ``requests`` global is the ``requests`` module, and every call
opens its own connection and waits without a time limit. ``configure`` rebinds that
global in the five data modules to a ``ConfiguredRequests`` object whose ``get``
sends the request through one shared ``requests.Session`` (connections are kept
alive and reused) with a time limit and retries; ``configure()`` puts the
``requests`` module back. ``download`` calls one data function for many tickers on a
pool of threads and gathers the tables into one.
"""

from __future__ import annotations

import contextlib
import datetime
import email.utils
import heapq
import http.client
import importlib
import itertools
import json
import math
import os
import re
import socket
import sys
import threading
import time
import urllib.parse
import warnings
import zlib
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    Dict,
    Iterable,
    Iterator,
    List,
    Optional,
    Sequence,
    Tuple,
    Union,
)

import requests
import requests.adapters
import urllib3
import urllib3.connection
import urllib3.connectionpool
import urllib3.exceptions
import urllib3.poolmanager
from urllib3.exceptions import ReadTimeoutError

import quorvex.datasets as _registry
from quorvex import arguments as _arguments
from quorvex import bulk as _bulk
from quorvex import store as _store
from quorvex import wire as _wire
from quorvex.config.config import (
    AddressCredentialsWarning,
    InsecureCredentialsWarning,
    mask_url,
    warn_clear_text,
    without_userinfo,
)
from quorvex.store import DEFAULT_RECHECK_DAYS, HistoryStore, StoreWarning
from quorvex.throttle import Throttle

if TYPE_CHECKING:
    import pandas

__all__ = [
    "AddressCredentialsWarning",
    "CheckedResponse",
    "ConfiguredRequests",
    "DATASETS",
    "DEFAULT_MAX_BYTES",
    "DEFAULT_RECHECK_DAYS",
    "DeadlineExceeded",
    "DownloadError",
    "InsecureCredentialsWarning",
    "MESSAGE_BODY_LIMIT",
    "MalformedAnswer",
    "ResponseTooLarge",
    "StoreWarning",
    "attempt_limit",
    "call_bound",
    "configure",
    "download",
    "mask_url",
]

#: A time limit in seconds, or a (connect, read) pair; ``None`` waits without limit.
Timeout = Union[None, float, Tuple[Optional[float], Optional[float]]]  # pragma: no mutate (a type alias)

#: Statuses that are answered again after a pause, as transient refusals.
RETRY_STATUSES = frozenset({429, 500, 502, 503, 504})

#: The statuses of a login answer that are retried (with connection errors).
LOGIN_RETRY_STATUSES = frozenset({429, 503})

#: Longest pause before a retry, in seconds, whatever an answer's Retry-After or the
#: backoff asks.
MAX_RETRY_AFTER = 60.0

#: Default cap of an answer's body under ``configure``, in unpacked bytes: twenty years
#: of daily rows take well under 1 MiB.
DEFAULT_MAX_BYTES = 16 * 1024 * 1024

#: Characters of a refused answer's body that its ``ValueError`` message quotes.
MESSAGE_BODY_LIMIT = 4096

#: Connections kept per host by the shared session; ``download`` enlarges the pool
#: when it runs more threads than this.
POOL_SIZE = 16


#: The data sets ``download`` knows, by the name a user gives (the registry's table).
DATASETS = _registry.DATASETS
Dataset = _registry.Dataset


# --- The bounds of one call ---------------------------------------------------------------


def attempt_limit(timeout: Timeout) -> Optional[float]:
    """The longest one attempt (connect, headers and body) may take under ``timeout``:
    the number itself, or connect + read of a pair; ``None`` when a part has no limit."""
    if timeout is None:
        return None
    if isinstance(timeout, tuple):
        connect, read = timeout
        return None if connect is None or read is None else float(connect) + float(read)
    return float(timeout)


def _backoff_pause(retry: int, backoff: float) -> float:
    # None before the first retry, backoff * 2 ** (n - 1) before the n-th, at most
    # MAX_RETRY_AFTER (the exponent is held down so that a large n cannot overflow).
    return 0.0 if retry <= 1 else min(backoff * 2.0 ** min(retry - 1, 64), MAX_RETRY_AFTER)


def call_bound(
    timeout: Timeout, retries: int = 0, backoff: float = 0.5, deadline: Optional[float] = None
) -> Optional[float]:
    """The longest a configured call may take, in seconds, retries and pauses included.

    ``deadline`` when it is given. Otherwise, when each attempt has a time limit,
    every attempt at its limit plus every backoff pause::

        (retries + 1) * attempt_limit(timeout) + sum(pause(n) for n in 1..retries)

    where ``pause(1) = 0`` and ``pause(n) = min(backoff * 2 ** (n - 1), MAX_RETRY_AFTER)``.
    A ``Retry-After`` pause is honoured only while it fits in what is left. ``None``
    (no bound) without a time limit and without a deadline.
    """
    if deadline is not None:
        return float(deadline)
    limit = attempt_limit(timeout)
    if limit is None:
        return None
    return (retries + 1) * limit + sum(_backoff_pause(n, backoff) for n in range(2, retries + 1))


class DeadlineExceeded(requests.exceptions.Timeout):
    """The whole call, its attempts and the pauses between them, ran out of its deadline."""


class ResponseTooLarge(requests.exceptions.RequestException):
    """The answer's body is larger than ``max_bytes`` (unpacked bytes counted).

    ``.response`` carries the status and the headers; no more of its body than the cap
    was read, and none of it is kept."""


class MalformedAnswer(ValueError):
    """A 200 answer whose body is not valid UTF-8 or not a JSON list of row objects.

    ``.response`` is the answer; the message quotes at most its first 200 characters."""

    def __init__(self, message: str, response: Optional[requests.Response] = None) -> None:
        super().__init__(message)
        self.response = response


def _quote(text: str, limit: int = 200) -> str:
    return repr(text[:limit]) + (f" ... ({len(text)} characters)" if len(text) > limit else "")


class _QuotedText(str):
    """The whole text of a long refused answer. Formatted without a spec, as the status
    gate does to build its ``ValueError`` message, it gives the first
    MESSAGE_BODY_LIMIT characters and a note saying the body was cut; everything else
    (``str()``, ``==``, ``len``, slicing, ``json.loads``) sees the whole text."""

    def __format__(self, spec: str) -> str:
        if spec:
            return super().__format__(spec)
        return (
            f"{str.__str__(self)[:MESSAGE_BODY_LIMIT]}\n[... cut: the body is {len(self)} characters long; "
            "the whole text is in the error's .response.text]"
        )


class CheckedResponse(requests.Response):
    """A data answer as ``configure`` returns it: its body decoded as UTF-8 (JSON's
    encoding) whatever the Content-Type's charset says.

    For status 200, ``text`` raises ``MalformedAnswer`` at an invalid byte, and
    ``json()`` raises it unless the body is a list of row objects (a body that is not
    JSON at all raises requests' ``JSONDecodeError``). For other statuses ``text``
    replaces invalid bytes, and a text longer than MESSAGE_BODY_LIMIT characters is
    quoted only that far in the refusal's message.
    """

    @property  # type: ignore[override]
    def text(self) -> str:
        cached: Optional[str] = self.__dict__.get("_checked_text")
        if cached is not None:
            return cached
        content = self.content or b""
        if self.status_code == 200:
            try:
                text = content.decode("utf-8")
            except UnicodeDecodeError as error:
                raise MalformedAnswer(
                    f"the service's answer is not valid UTF-8: byte {content[error.start]:#04x} at offset "
                    f"{error.start}: {_quote(content.decode('utf-8', 'replace'))}",
                    response=self,
                ) from None
        else:
            text = content.decode("utf-8", "replace")
        if text.startswith("\ufeff"):
            text = text[1:]
        if self.status_code != 200 and len(text) > MESSAGE_BODY_LIMIT:
            text = _QuotedText(text)
        self.__dict__["_checked_text"] = text
        return text

    def json(self, **kwargs: Any) -> Any:
        text = self.text
        try:
            value = json.loads(text, **kwargs)
        except json.JSONDecodeError as error:
            raise requests.exceptions.JSONDecodeError(error.msg, error.doc, error.pos) from None
        if self.status_code == 200 and not (isinstance(value, list) and all(isinstance(row, dict) for row in value)):
            raise MalformedAnswer(
                f"the service answered status 200 with something other than a list of rows: {_quote(text)}",
                response=self,
            )
        return value


# --- Attempts that end on time, whatever the network does -------------------------------------


class _Attempt:
    """The sockets one attempt uses, shut by the watchdog when its time runs out: a
    server that drips a byte every half second keeps every single read short, so
    only closing the connection bounds the attempt as a whole."""

    def __init__(self, end: Optional[float]) -> None:
        self.end = end
        self.expired = False
        self.done = False
        self._sockets: List[socket.socket] = []
        self._lock = threading.Lock()

    def watch(self, sock: Any) -> None:
        with self._lock:
            if self.done or any(known is sock for known in self._sockets):
                return
            if not self.expired:
                self._sockets.append(sock)
                return
        _shut(sock)

    def release(self, sock: Any) -> bool:
        """Stop watching ``sock``, whose answer came whole and which may serve another
        attempt next; False when this attempt has expired (the socket may be shut)."""
        with self._lock:
            self._sockets = [known for known in self._sockets if known is not sock]
            return not self.expired

    def expire(self) -> None:
        with self._lock:
            if self.done:
                return
            self.expired = True
            sockets, self._sockets = self._sockets, []
        for sock in sockets:
            _shut(sock)

    def finish(self) -> None:
        with self._lock:
            self.done = True
            self._sockets = []


def _shut(sock: Any) -> None:
    # The plain socket's shutdown, also for a TLS socket: it wakes a read blocked on it
    # in another thread, and the connection is then dropped by its pool.
    try:
        socket.socket.shutdown(sock, socket.SHUT_RDWR)
    except (OSError, TypeError):
        pass


class _Watchdog:
    """One daemon thread that expires attempts at their end, earliest first."""

    def __init__(self) -> None:
        self._cond = threading.Condition(threading.Lock())
        self._queue: List[Tuple[float, int, _Attempt]] = []
        self._count = itertools.count()
        self._thread: Optional[threading.Thread] = None
        # When the thread wakes next by itself (inf: only when notified). An attempt
        # that ends later needs no wake-up: one request after another would otherwise
        # wake the thread twice each.
        self._wake_at = math.inf

    def arm(self, attempt: _Attempt) -> None:
        assert attempt.end is not None
        with self._cond:
            heapq.heappush(self._queue, (attempt.end, next(self._count), attempt))
            if self._thread is None or not self._thread.is_alive():
                self._thread = threading.Thread(target=self._run, name="quorvex-watchdog", daemon=True)
                self._thread.start()
            elif attempt.end < self._wake_at:
                self._cond.notify()

    def disarm(self, attempt: _Attempt) -> None:
        """Forget ``attempt``, which has finished, and every finished one before it."""
        attempt.finish()
        with self._cond:
            self._prune()

    def _prune(self) -> None:
        while self._queue and self._queue[0][2].done:
            heapq.heappop(self._queue)

    def _run(self) -> None:
        while True:
            with self._cond:
                while True:
                    self._prune()
                    if not self._queue:
                        self._wake_at = math.inf
                        self._cond.wait()
                        continue
                    self._wake_at = self._queue[0][0]
                    wait = self._wake_at - time.monotonic()
                    if wait <= 0:
                        attempt = heapq.heappop(self._queue)[2]
                        self._wake_at = -math.inf  # awake: it reads the queue again before waiting
                        break
                    self._cond.wait(wait)
            attempt.expire()


_watchdog = _Watchdog()
# The attempt running in this thread, which the connections below report their
# sockets to.
_local = threading.local()


def _watch_socket(sock: Any) -> None:
    attempt = getattr(_local, "attempt", None)
    if attempt is not None and sock is not None:
        attempt.watch(sock)


def _release_socket(sock: Any) -> bool:
    attempt = getattr(_local, "attempt", None)
    return attempt is None or attempt.release(sock)


class _Watched:
    """Reports a connection's socket to the attempt of the thread using it: when it is
    made, and at each request sent on it (a kept-alive connection serves many)."""

    def _new_conn(self) -> Any:
        sock = super()._new_conn()  # type: ignore[misc]
        _watch_socket(sock)
        return sock

    def putrequest(self, *args: Any, **kwargs: Any) -> Any:
        _watch_socket(getattr(self, "sock", None))
        return super().putrequest(*args, **kwargs)  # type: ignore[misc]


class _WatchedHTTPConnection(_Watched, urllib3.connection.HTTPConnection):
    pass


class _WatchedHTTPSConnection(_Watched, urllib3.connection.HTTPSConnection):
    pass


class _WatchedHTTPPool(urllib3.connectionpool.HTTPConnectionPool):
    ConnectionCls = _WatchedHTTPConnection


class _WatchedHTTPSPool(urllib3.connectionpool.HTTPSConnectionPool):
    ConnectionCls = _WatchedHTTPSConnection


_WATCHED_POOLS = {"http": _WatchedHTTPPool, "https": _WatchedHTTPSPool}


class _WatchedAdapter(requests.adapters.HTTPAdapter):
    """requests' adapter (no retries of its own) whose connections report their sockets."""

    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None:
        super().init_poolmanager(*args, **kwargs)
        self.poolmanager.pool_classes_by_scheme = _WATCHED_POOLS

    def proxy_manager_for(self, proxy: Any, **proxy_kwargs: Any) -> Any:
        manager = super().proxy_manager_for(proxy, **proxy_kwargs)
        # A SOCKS proxy's manager has pools of its own kind; those stay.
        if manager.pool_classes_by_scheme is urllib3.poolmanager.pool_classes_by_scheme:
            manager.pool_classes_by_scheme = _WATCHED_POOLS
        return manager


def _new_session(connections: int) -> requests.Session:
    session = requests.Session()
    adapter = _WatchedAdapter(pool_maxsize=connections)
    session.mount("http://", adapter)
    session.mount("https://", adapter)
    # The two codings quorvex unpacks itself, counting the bytes as they come.
    session.headers["Accept-Encoding"] = "gzip, deflate"
    return session


# --- Reading a body with a cap ---------------------------------------------------------------

#: Bytes read, and unpacked, at a time.
CHUNK = 1 << 16


class _Inflater:
    """Unpacks a gzip or deflate body at most CHUNK bytes at a time, so that a small body
    that unpacks to gigabytes is counted, and refused, as it unpacks."""

    def __init__(self, coding: str) -> None:
        self._gzip = coding != "deflate"
        self._started = False
        self._unpacker = self._new()

    def _new(self, raw: bool = False) -> Any:
        return zlib.decompressobj(16 + zlib.MAX_WBITS if self._gzip else -zlib.MAX_WBITS if raw else zlib.MAX_WBITS)

    def feed(self, data: bytes) -> Iterable[bytes]:
        while True:
            try:
                out = self._unpacker.decompress(data, CHUNK)
            except zlib.error:
                # deflate is a zlib stream as HTTP says, or the raw stream some servers send.
                if self._gzip or self._started:
                    raise
                self._started = True
                self._unpacker = self._new(raw=True)
                continue
            self._started = True
            if out:
                yield out
            data = self._unpacker.unconsumed_tail
            if self._unpacker.eof:
                rest = self._unpacker.unused_data
                if not (self._gzip and rest):
                    return
                self._unpacker = self._new()  # another gzip member follows
                data = rest
            elif not data and len(out) < CHUNK:
                return


def _read_body(response: requests.Response, attempt: _Attempt, max_bytes: Optional[int]) -> None:
    """Read the body of ``response`` (sent with stream=True) into ``response.content``.

    At most ``max_bytes`` unpacked bytes are kept: past them ``ResponseTooLarge``. The
    attempt's end is checked after every piece; the watchdog bounds each wait.
    Errors of urllib3 come out as requests' exceptions (a cut connection as
    ``ChunkedEncodingError``); on any error the connection is dropped.
    """
    if response._content is not False:  # read already (a cached answer)
        if max_bytes is not None and len(response._content or b"") > max_bytes:
            raise _too_large(response, max_bytes)
        return
    raw = response.raw
    if raw is None:
        return
    # A session of the caller's own has no watched connections: watch this one now.
    for path in () if isinstance(raw, _wire.Body) else (("_connection", "sock"), ("_fp", "fp", "raw", "_sock")):
        node: Any = raw
        for name in path:
            node = getattr(node, name, None)
        if isinstance(node, socket.socket):
            attempt.watch(node)
            break
    coding = response.headers.get("Content-Encoding", "").strip().lower()
    inflater = _Inflater(coding) if coding in ("gzip", "x-gzip", "deflate") else None
    # Another coding (br, zstd) is unpacked by urllib3, in small pieces.
    foreign = inflater is None and coding not in ("", "identity")
    parts: List[bytes] = []
    size = received = 0
    try:
        for piece in raw.stream(8192 if foreign else CHUNK, decode_content=foreign):
            received += len(piece)
            for out in inflater.feed(piece) if inflater is not None else (piece,):
                size += len(out)
                if max_bytes is not None and size > max_bytes:
                    parts.clear()
                    raise _too_large(response, max_bytes)
                parts.append(out)
            if attempt.end is not None and time.monotonic() >= attempt.end:
                raise _OutOfTime("Read timed out while the body came")
        expected = _content_length(response)
        if not foreign and expected is not None and received < expected:
            # urllib3 1.x ends such a body quietly: it is a cut connection all the same.
            raise requests.exceptions.ChunkedEncodingError(
                f"Connection broken: the body ended after {received} of {expected} bytes"
            )
    except BaseException as error:
        # The connection goes, not back to the pool: the rest of the body is unread.
        raw.close()
        response.close()
        if isinstance(error, zlib.error):
            raise requests.exceptions.ContentDecodingError(f"the body is not valid {coding}: {error}") from error
        raise
    response._content = b"".join(parts)
    response._content_consumed = True


class _OutOfTime(requests.exceptions.ReadTimeout):
    """The attempt's end passed while its body came (told apart from a socket's own time-out)."""


def _content_length(response: requests.Response) -> Optional[int]:
    if "chunked" in response.headers.get("Transfer-Encoding", "").lower() or response.status_code in (204, 304):
        return None
    try:
        return int(response.headers["Content-Length"])
    except (KeyError, ValueError):
        return None


def _too_large(response: requests.Response, max_bytes: int) -> ResponseTooLarge:
    response._content = b""
    response._content_consumed = True
    return ResponseTooLarge(
        f"the answer of {mask_url(response.url or '')} (HTTP status {response.status_code}) is larger "
        f"than the cap of {max_bytes} bytes (max_bytes); no more of it was read",
        response=response,
    )


def _normalise(error: BaseException) -> BaseException:
    """An error of urllib3, http.client or the socket as the requests exception it means."""
    if isinstance(error, requests.exceptions.ConnectionError) and error.args:
        if isinstance(error.args[0], ReadTimeoutError):  # requests' "Read timed out." of a body
            return requests.exceptions.ReadTimeout(*error.args, request=error.request, response=error.response)
    if isinstance(error, requests.exceptions.RequestException):
        return error
    if isinstance(error, (ReadTimeoutError, socket.timeout)):
        return requests.exceptions.ReadTimeout(error)
    if isinstance(error, urllib3.exceptions.SSLError):
        return requests.exceptions.SSLError(error)
    if isinstance(error, urllib3.exceptions.DecodeError):
        return requests.exceptions.ContentDecodingError(error)
    if isinstance(error, (urllib3.exceptions.ProtocolError, http.client.HTTPException)):
        return requests.exceptions.ChunkedEncodingError(error)
    if isinstance(error, OSError):
        return requests.exceptions.ConnectionError(error)
    return error


def _transient(error: BaseException) -> bool:
    """A connection refused, reset or dropped, before the answer or inside its body."""
    return isinstance(
        error, (requests.exceptions.ConnectionError, requests.exceptions.ChunkedEncodingError)
    ) and not isinstance(error, requests.exceptions.Timeout)


def _retry_after(value: Optional[str]) -> Optional[float]:
    """The pause a Retry-After header asks for (seconds, fractions accepted, or an HTTP
    date), at most MAX_RETRY_AFTER; ``None`` for a missing or unusable value
    ("soon", "-5"), which leaves the backoff in charge."""
    if value is None:
        return None
    text = value.strip()
    try:
        seconds = float(text)
    except ValueError:
        try:
            when = email.utils.parsedate_to_datetime(text)
        except (TypeError, ValueError, IndexError, OverflowError):
            return None
        if when is None:
            return None
        if when.tzinfo is None:
            when = when.replace(tzinfo=datetime.timezone.utc)
        seconds = max(0.0, (when - datetime.datetime.now(datetime.timezone.utc)).total_seconds())
    if not math.isfinite(seconds) or seconds < 0:
        return None
    return min(seconds, MAX_RETRY_AFTER)


def _shortened(timeout: Timeout, left: Optional[float]) -> Timeout:
    # requests' limits on the connect and on each read, none longer than what is left.
    if left is None:
        return timeout
    if timeout is None:
        return left
    if isinstance(timeout, tuple):
        connect, read = timeout
        return (left if connect is None else min(connect, left), left if read is None else min(read, left))
    return min(timeout, left)


# Texts that quote_plus leaves as they are.
_PLAIN = re.compile(r"[A-Za-z0-9_.~-]*")

# The answer ``download``'s bulk path fetched for the data function it calls next on
# this thread: (url, params, response or the request's exception).
_handed = threading.local()


@contextlib.contextmanager
def hand_over(url: str, params: Dict[str, str], answer: Any) -> Iterator[None]:
    """Within the block, this thread's next ``get`` of ``url`` with ``params`` gives
    ``answer`` (a response, or an exception that it raises) without a request: the data
    function called there makes its table of an answer already fetched."""
    _handed.answer = (url, params, answer)
    try:
        yield
    finally:
        _handed.answer = None


class ConfiguredRequests:
    """What ``configure`` binds as ``requests`` in the data modules.

    ``get(url, params=None, **kwargs)`` sends the request through ``session`` with the
    configured time limits, retries and body cap, and returns a ``CheckedResponse``;
    with a ``store`` it asks the service only for the days the store lacks and answers
    with the stored rows of the whole range. ``post(url, body)`` sends the login
    (``Client.transport``). Every attempt first takes a token of ``throttle`` when there
    is one. Every other attribute is read from the ``requests`` module, so
    ``module.requests.exceptions`` still works.
    """

    def __init__(
        self,
        session: Any,
        timeout: Timeout,
        *,
        retries: int = 0,
        backoff: float = 0.5,
        deadline: Optional[float] = None,
        max_bytes: Optional[int] = DEFAULT_MAX_BYTES,
        own: bool = False,
        store: Optional[HistoryStore] = None,
        throttle: Optional[Throttle] = None,
    ) -> None:
        self.session = session
        self.store = store
        self.throttle = throttle
        self.timeout = timeout
        self.retries = retries
        self.backoff = backoff
        self.deadline = deadline
        self.max_bytes = max_bytes
        # Set when quorvex made the session (and so may resize and close it).
        self._own = own
        self._pool_size = 0
        self._lock = threading.Lock()
        # Per address: its prepared form and the adapter's settings (see _direct_get),
        # and for a plain-HTTP one its kept-alive connections (shared by host and port).
        self._direct: Dict[str, Tuple[str, Optional[Dict[str, Any]]]] = {}
        self._origins: Dict[str, _wire.Origin] = {}
        self._wire_origins: Dict[Tuple[str, int], _wire.Origin] = {}
        # The prepared addresses ahead of a query, and the merged headers (_headers_of).
        self._requote: Dict[str, str] = {}
        self._headers: Dict[Tuple[Any, Any], List[Any]] = {}
        if own:
            # The two codings quorvex unpacks itself, counting the bytes as they come.
            session.headers["Accept-Encoding"] = "gzip, deflate"
            self.ensure_pool(POOL_SIZE)

    @property
    def owns_session(self) -> bool:
        """Whether the session is quorvex's own (not one given to ``configure``)."""
        return self._own

    def get(self, url: str, params: Any = None, **kwargs: Any) -> requests.Response:
        handed = getattr(_handed, "answer", None)
        if handed is not None:
            _handed.answer = None
            if handed[0] == url and handed[1] == params:
                answer: requests.Response = handed[2]
                if isinstance(answer, BaseException):
                    raise answer
                return answer
        headers = kwargs.get("headers")
        if headers is not None and "Authorization" in headers:
            warn_clear_text("token", url, stacklevel=3)
        kwargs["params"] = params
        if self.store is not None:
            ask = _store.recognise(url, params, headers)
            if ask is not None:
                return self._stored_get(self.store, ask, url, kwargs)
        return self._call(self.session, "get", url, kwargs, RETRY_STATUSES, self.timeout, rows=True)

    def _stored_get(self, store: HistoryStore, ask: _store.Ask, url: str, kwargs: Dict[str, Any]) -> requests.Response:
        """The answer for ``ask`` made of kept rows and of the service's answers for the
        days the store lacks (each kept in one transaction as it comes)."""
        plan = store.plan(ask)
        if plan is None or plan.pieces == [(ask.first, ask.last)]:
            # Nothing of the range is kept: the request goes out unchanged, and its
            # answer is kept and returned as it came.
            response = self._call(self.session, "get", url, kwargs, RETRY_STATUSES, self.timeout, rows=True)
            if plan is not None and response.status_code == 200:
                rows = _answer_rows(ask, ask.first, ask.last, response)
                if rows is not None:
                    store.save(ask, ask.first, ask.last, rows)
            return response
        fetched: List[Tuple[str, str]] = []
        for first, last in plan.pieces:
            piece = dict(kwargs)
            piece["params"] = {"ticker": ask.ticker, "fromDate": first.isoformat(), "toDate": last.isoformat()}
            response = self._call(self.session, "get", url, piece, RETRY_STATUSES, self.timeout, rows=True)
            if response.status_code != 200:
                return response  # the data function refuses it as it would any refusal
            rows = _answer_rows(ask, first, last, response)
            if rows is None:
                # An answer the store cannot merge (rows it cannot date, or outside the
                # range asked): the whole range is asked as the data function asked it.
                return self._call(self.session, "get", url, kwargs, RETRY_STATUSES, self.timeout, rows=True)
            store.save(ask, first, last, rows)
            fetched += rows
        # Kept rows come in day order; the merge sort is stable: each day from one source.
        merged = sorted(plan.kept + fetched, key=lambda row: row[0]) if fetched else plan.kept
        return _stored_answer(url, kwargs, merged)

    def post(self, url: str, body: Dict[str, str]) -> requests.Response:
        """Send a login: POST ``body`` as JSON, redirects not followed, retried on
        connection errors, 429 and 503; its time limit is the configured one, or the
        login's own LOGIN_TIMEOUT when none is configured."""
        from quorvex.process_client import login

        timeout = self.timeout if self.timeout is not None else login.LOGIN_TIMEOUT
        kwargs = {"json": body, "allow_redirects": False}
        if self._own:
            return self._call(self.session, "post", url, kwargs, LOGIN_RETRY_STATUSES, timeout, rows=False)
        # A caller's session is for data; the login keeps to a session of quorvex's own.
        with _new_session(1) as session:
            return self._call(session, "post", url, kwargs, LOGIN_RETRY_STATUSES, timeout, rows=False)

    def _call(
        self,
        session: Any,
        method: str,
        url: str,
        kwargs: Dict[str, Any],
        statuses: frozenset,
        timeout: Timeout,
        rows: bool,
    ) -> requests.Response:
        """Attempts until one is not refused for a while, the retries are spent or the
        next wait would end past the call's bound.

        The wait for the rate before the first attempt is not part of the call's time
        (with many threads it is the queue, not the service), but it is bounded by the
        call's bound as well: a call whose first token cannot come within it raises
        ``DeadlineExceeded`` without a request. From the first attempt on, every wait
        (a backoff or Retry-After pause, the rate, another thread's Retry-After) counts
        in the bound: a wait that would end past it ends the call with what the last
        attempt gave."""
        bound = call_bound(timeout, self.retries, self.backoff, self.deadline)
        throttle = self.throttle
        if throttle is not None and not throttle.acquire(None if bound is None else time.monotonic() + bound):
            raise DeadlineExceeded(
                f"no request to {mask_url(url)} could be sent within the call's deadline of {bound:g} s: "
                "the rate (lowered or held by 429 answers) would not allow one sooner"
            )
        call_end = None if bound is None else time.monotonic() + bound
        retry = 0
        while True:
            failure: Optional[BaseException] = None
            try:
                response = self._attempt(session, method, url, kwargs, timeout, call_end, bound, rows)
            except requests.exceptions.RequestException as error:
                if retry >= self.retries or not _transient(error):
                    raise
                failure, asked = error, None
            else:
                if response.status_code == 429 and throttle is not None:
                    throttle.refused(_retry_after(response.headers.get("Retry-After")))
                if response.status_code not in statuses or retry >= self.retries:
                    return response
                asked = _retry_after(response.headers.get("Retry-After"))
            retry += 1
            pause = asked if asked is not None else _backoff_pause(retry, self.backoff)
            if call_end is not None and time.monotonic() + pause >= call_end:
                # The pause would end past the deadline: the retries stop here, with
                # what the last attempt gave.
                if failure is not None:
                    raise failure
                return response
            if pause > 0:
                time.sleep(pause)
            if throttle is not None and not throttle.acquire(call_end):
                # So would the wait for the next token (or another thread's hold).
                if failure is not None:
                    raise failure
                return response

    def _attempt(
        self,
        session: Any,
        method: str,
        url: str,
        kwargs: Dict[str, Any],
        timeout: Timeout,
        call_end: Optional[float],
        bound: Optional[float],
        rows: bool,
    ) -> requests.Response:
        limit = attempt_limit(timeout)
        now = time.monotonic()
        end = None if limit is None else now + limit
        # The deadline strikes first only when it is clearly nearer than the attempt's
        # own limit (a call of one attempt has both at nearly the same instant).
        by_deadline = call_end is not None and (end is None or call_end < end - 0.01)
        if by_deadline:
            end = call_end
        if end is not None and end <= now:
            raise DeadlineExceeded(f"no answer from {mask_url(url)} within the call's deadline of {bound:g} s")
        attempt = _Attempt(end)
        arguments = dict(kwargs)
        arguments["timeout"] = _shortened(timeout, None if end is None else end - now)
        hooked = isinstance(session, requests.Session)
        if hooked:
            # The body is read, capped, as each answer comes (redirects included),
            # before requests would read it whole.
            def read(response: requests.Response, **_: Any) -> requests.Response:
                _read_body(response, attempt, self.max_bytes)
                return response

            arguments["stream"] = True
            arguments["hooks"] = {"response": [read, *session.hooks.get("response", [])]}
        previous = getattr(_local, "attempt", None)
        _local.attempt = attempt
        if end is not None:
            _watchdog.arm(attempt)
        try:
            # The address's user information is never sent: requests would make it basic
            # auth, which replaces the token and puts the password on every request.
            address = without_userinfo(url)
            response = self._direct_get(session, address, arguments) if self._own and method == "get" else None
            if response is None:
                response = getattr(session, method)(address, **arguments)
            if not hooked and isinstance(response, requests.Response):
                _read_body(response, attempt, self.max_bytes)
        except Exception as error:
            normal = _normalise(error)
            late = end is not None and (attempt.expired or time.monotonic() >= end)
            transport = isinstance(
                normal,
                (
                    requests.exceptions.ConnectionError,
                    requests.exceptions.ChunkedEncodingError,
                    requests.exceptions.Timeout,
                ),
            )
            if (
                late
                and transport
                and (
                    by_deadline or isinstance(normal, _OutOfTime) or not isinstance(normal, requests.exceptions.Timeout)
                )
            ):
                if by_deadline:
                    raise DeadlineExceeded(
                        f"no whole answer from {mask_url(url)} within the call's deadline of {bound:g} s"
                    ) from error
                raise requests.exceptions.ReadTimeout(
                    f"Read timed out: no whole answer from {mask_url(url)} within the time limit of {limit:g} s"
                ) from error
            if normal is error:
                raise
            raise normal from error
        finally:
            if end is not None:
                _watchdog.disarm(attempt)
            else:
                attempt.finish()
            _local.attempt = previous
        if rows and type(response) is requests.Response:
            response.__class__ = CheckedResponse
        return response

    def _direct_get(
        self, session: requests.Session, url: str, arguments: Dict[str, Any]
    ) -> Optional[requests.Response]:
        """``session.get(url, **arguments)`` (stream=True, redirects not followed yet)
        sent straight to the session's adapter, or None when requests' own setup of the
        request is needed.

        A request of quorvex's own session asks requests to merge the same settings
        every time: the environment's proxies, CA bundle and ~/.netrc (a scan of the
        whole environment and three file look-ups), the session's headers, cookies and
        hooks, and a parse of the address. Those are taken once per address here, and
        the request goes to the same adapter, pool and exception mapping. Anything
        unusual takes requests' own path: an address with a query, cookies or
        credentials kept in the session, an entry of ~/.netrc for the host."""
        params = arguments.get("params")
        if session.cookies or session.auth or session.params or session.hooks.get("response") or "?" in url:
            return None
        prepared_url, settings = self._direct_settings(session, url)
        if settings is None:
            return None
        request = requests.PreparedRequest()
        request.method = "GET"
        if not params:
            request.url = prepared_url
        elif type(params) is dict and all(
            type(k) is str and type(v) is str and _PLAIN.fullmatch(k + v) for k, v in params.items()
        ):
            # Names and values needing no quoting: the query requests would make, as it stands.
            request.url = self._requoted(prepared_url) + "&".join(f"{k}={v}" for k, v in params.items())
        else:
            if type(params) is dict and all(type(v) is str for v in params.values()):
                # The query requests makes of a dict of texts (UTF-8, quote_plus).
                query = urllib.parse.urlencode(params)
            else:
                query = requests.models.RequestEncodingMixin._encode_params(params)
            request.url = requests.utils.requote_uri(f"{prepared_url}?{query}") if query else prepared_url
        headers = self._headers_of(session, arguments.get("headers"))
        request.headers = _wire.case_insensitive(headers[0])
        request.body = None
        request.hooks = arguments.get("hooks") or {"response": []}
        timeout = arguments.get("timeout")
        origin = self._origins.get(prepared_url)
        if origin is not None and not settings["proxies"]:
            if headers[1] is None:
                headers[1] = _wire.header_block(headers[0].items())
            response = _wire.get(origin, request, headers[1], timeout, _watch_socket, _release_socket)
        else:
            response = session.get_adapter(request.url).send(request, stream=True, timeout=timeout, **settings)
        # What Session.send does after the adapter: the hooks (the body read with its
        # cap), the cookies, and the redirects, followed by requests itself.
        response = requests.hooks.dispatch_hook("response", request.hooks, response)
        if "set-cookie" in response.headers:
            requests.cookies.extract_cookies_to_jar(session.cookies, request, response.raw)
        if response.is_redirect:
            # The session's cookies, which are none (see above).
            request._cookies = requests.cookies.RequestsCookieJar()
            history = list(session.resolve_redirects(response, request, stream=True, timeout=timeout, **settings))
            if history:
                history.insert(0, response)
                response = history.pop()
                response.history = history
        return response

    def _requoted(self, prepared_url: str) -> str:
        """``prepared_url`` with "?" as requests quotes it when a query follows (kept)."""
        known = self._requote.get(prepared_url)
        if known is None:
            known = self._requote[prepared_url] = requests.utils.requote_uri(prepared_url + "?")
        return known

    def _headers_of(self, session: requests.Session, extra: Optional[Dict[str, Any]]) -> List[Any]:
        """The session's headers updated by the request's, None removing one (as requests
        merges them), and their lines as sent (made when first needed): made once per
        distinct pair, as a download sends the same headers thousands of times."""
        kept = getattr(session.headers, "_store", None)
        key = (
            tuple(kept.values()) if isinstance(kept, dict) else tuple(session.headers.items()),
            tuple(extra.items()) if extra else (),
        )
        known = self._headers.get(key)
        if known is None:
            headers: "requests.structures.CaseInsensitiveDict[Union[str, bytes]]" = (
                requests.structures.CaseInsensitiveDict(session.headers)
            )
            headers.update(extra or {})
            for name in [name for name, value in headers.items() if value is None]:
                del headers[name]
            if len(self._headers) >= 16:
                self._headers.clear()  # a token renewed again and again
            known = self._headers[key] = [dict(headers.items()), None]
        return known

    def _direct_settings(self, session: requests.Session, url: str) -> Tuple[str, Optional[Dict[str, Any]]]:
        """The prepared form of ``url`` and the adapter's settings for it (proxies,
        verify, cert), merged once with the environment; None settings when the host
        has an entry in ~/.netrc."""
        known = self._direct.get(url)
        if known is None:
            request = requests.PreparedRequest()
            request.prepare_url(url, None)
            address = request.url or url
            merged = session.merge_environment_settings(address, {}, True, None, None)
            netrc = session.trust_env and requests.utils.get_netrc_auth(address)
            settings = None if netrc else {name: merged[name] for name in ("proxies", "verify", "cert")}
            known = self._direct[url] = (address, settings)
            origin = _wire.origin_of(address, max(self._pool_size, POOL_SIZE))
            if origin is not None:
                # One set of kept-alive connections per host and port.
                key = (origin.host, origin.port)
                origin = self._wire_origins.setdefault(key, origin)
                self._origins[address] = origin
        return known

    def ensure_pool(self, connections: int) -> None:
        """Let ``connections`` threads each keep a connection of quorvex's own session."""
        if not self._own:
            return
        with self._lock:
            if self._pool_size < connections:
                old = self.session.adapters.get("https://")
                adapter = _WatchedAdapter(pool_maxsize=connections)
                self.session.mount("http://", adapter)
                self.session.mount("https://", adapter)
                self._pool_size = connections
                for origin in self._wire_origins.values():
                    origin.keep_at_most = max(connections, POOL_SIZE)
                # Its idle connections are closed now rather than whenever it is
                # collected; one in use is closed when its call gives it back.
                if isinstance(old, requests.adapters.HTTPAdapter):
                    old.close()

    def close(self) -> None:
        if self.store is not None:
            self.store.close()
        if self._own:
            self.session.close()
            for origin in self._wire_origins.values():
                origin.close()

    def __getattr__(self, name: str) -> Any:
        return getattr(requests, name)

    def __repr__(self) -> str:
        return f"<quorvex configured requests: timeout={self.timeout!r}, session={self.session!r}>"


def _answer_rows(
    ask: _store.Ask, first: datetime.date, last: datetime.date, response: requests.Response
) -> Optional[List[Tuple[str, str]]]:
    """The rows of a 200 answer as the store keeps them, or ``None`` when it cannot
    (the data function then meets whatever is wrong with the answer itself)."""
    try:
        rows = response.json()
    except (ValueError, requests.exceptions.RequestException):
        return None
    return _store.rows_of(ask, first, last, rows)


def _stored_answer(url: str, kwargs: Dict[str, Any], rows: List[Tuple[str, str]]) -> CheckedResponse:
    """A 200 answer whose body is the JSON list of ``rows`` (already JSON texts)."""
    response = CheckedResponse()
    response.status_code = 200
    response.reason = "OK"
    response._content = ("[" + ",".join(body for _, body in rows) + "]").encode("utf-8")
    response._content_consumed = True
    response.encoding = "utf-8"
    response.headers["Content-Type"] = "application/json; charset=utf-8"
    response.headers["X-Quorvex-Store"] = "kept"
    prepared = requests.Request("GET", url, params=kwargs.get("params"), headers=kwargs.get("headers")).prepare()
    response.request = prepared
    response.url = prepared.url or url
    return response


def _check_seconds(value: Any, what: str) -> None:
    if value is None:
        return
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{what} must be a number of seconds or None, not {type(value).__name__}")
    if not value > 0:  # also refuses NaN
        raise ValueError(f"{what} must be more than 0 seconds, not {value!r}")


def _check_timeout(timeout: Any) -> Timeout:
    if isinstance(timeout, (tuple, list)):
        if len(timeout) != 2:
            raise ValueError(f"timeout must be one number or a (connect, read) pair, not {timeout!r}")
        _check_seconds(timeout[0], "the connect timeout")
        _check_seconds(timeout[1], "the read timeout")
        return (timeout[0], timeout[1])
    _check_seconds(timeout, "timeout")
    return timeout  # type: ignore[no-any-return]


_lock = threading.RLock()
_configured: Optional[ConfiguredRequests] = None


def configure(
    *,
    timeout: Timeout = None,
    retries: int = 0,
    backoff: float = 0.5,
    session: Any = None,
    deadline: Optional[float] = None,
    max_bytes: Optional[int] = DEFAULT_MAX_BYTES,
    store: Union[None, bool, str, "os.PathLike[str]"] = None,
    recheck_days: int = DEFAULT_RECHECK_DAYS,
    rate: Optional[float] = None,
) -> None:
    """Send every data function's request through one shared session from now on.

    ``timeout``: seconds, or a ``(connect, read)`` pair, that one attempt may take as a
    whole (connect, headers and body; connect + read for a pair), however slowly the
    bytes come; ``None`` waits without limit. An attempt that runs out raises
    ``requests.exceptions.Timeout`` (``ConnectTimeout`` or ``ReadTimeout``, also while
    the body comes); a time-out is never retried.

    ``retries``: how many times a request is sent again after a connection error
    (refused, reset, or dropped before or during the body) or a status 429, 500, 502,
    503 or 504: the first retry at once, the n-th after ``backoff * 2 ** (n - 1)``
    seconds, or after the pause the answer's ``Retry-After`` asks for (seconds or an
    HTTP date; an unusable value leaves the backoff in charge); no pause is longer than
    MAX_RETRY_AFTER. When the retries are spent, the last refused answer raises the data
    function's ``ValueError`` (with ``.response``), the last connection error requests'
    ``ConnectionError`` (a cut body: ``ChunkedEncodingError``).

    ``deadline``: seconds the whole call may take, attempts and pauses included; its
    last attempt is cut short to fit, raising ``DeadlineExceeded`` (a ``Timeout``), and
    when a pause would end past it the retries stop with what the last attempt gave.
    By default ``call_bound(timeout, retries, backoff)``: every attempt at its limit
    plus the backoff pauses (none without a timeout).

    ``max_bytes``: the cap of an answer's body, in unpacked bytes (a gzip body counts
    what it unpacks to); past it ``ResponseTooLarge``. ``None``: no cap. Answers are
    decoded as UTF-8; a 200 that is not valid UTF-8 or not a list of rows raises
    ``MalformedAnswer``.

    ``session``: a session-like object of your own (for example a caching session)
    to use instead of a new ``requests.Session``; its ``get(url, params=..., headers=...,
    timeout=...)`` is called (a ``requests.Session`` also gets ``stream=True`` and a
    response hook that reads the body with the cap). quorvex neither changes nor closes
    it, so retries are yours to set up on it: giving ``retries`` with ``session`` is
    refused. Only quorvex's own session bounds an attempt whose headers drip; with yours
    the time limit bounds each wait for data and the body as it comes.

    ``store``: keep the rows the service answers in a local SQLite file, and ask it
    only for the days not kept yet. ``True``: the file ``$QUORVEX_STORE`` names (``0``:
    none), else ``$XDG_CACHE_HOME/quorvex/history.sqlite3``, else
    ``~/.cache/quorvex/history.sqlite3``; a path: that file; ``None`` or ``False``: no
    store. A call for [fromDate, toDate] (dates "YYYY-MM-DD"; anything else goes to the
    service unchanged) sends requests only for the days not covered yet, at most
    ``quorvex.store.MAX_PIECES`` of them, each bounded as above, and the data function
    makes its table from the kept rows of the whole range: the same table the service's
    own answer gives. Rows are kept per service address, data set and ticker.

    ``recheck_days``: the last days up to today (and any later one) that every call asks
    for again, replacing what was kept, since a service may still correct them.

    ``rate``: at most this many requests a second across all threads (attempts, retries
    and logins), after a burst of ``quorvex.throttle.MAX_BURST`` (fewer when the rate
    is lower). A 429 halves the rate (down to a sixteenth at most) and every
    ``quorvex.throttle.RECOVERY_SECONDS`` without one doubles it back; its Retry-After
    also holds every thread's next request. ``None``: no limit. The wait for the rate
    before a call's first attempt does not count in its deadline, but may last no
    longer than it (else ``DeadlineExceeded``, nothing sent); every later wait counts.

    The login (``Client().login``) follows the same settings: the same time limit
    (its own 30 s when none is set) and retries of connection errors, 429 and 503.
    Requests, data and login, go to the address without its ``user:password@``, which
    requests would otherwise send as basic auth in place of the token.

    ``configure()`` with no arguments restores the default: a plain ``requests.get``
    per call, with no time limit, no retries and no cap. The setting applies to the
    five data modules whether they are imported before or after, and to calls from
    every thread. Configuring again closes the session quorvex made before.
    """
    global _configured
    checked = _check_timeout(timeout)
    if isinstance(retries, bool) or not isinstance(retries, int):
        raise TypeError(f"retries must be an int, not {type(retries).__name__}")
    if retries < 0:
        raise ValueError(f"retries must be 0 or more, not {retries}")
    if isinstance(backoff, bool) or not isinstance(backoff, (int, float)):
        raise TypeError(f"backoff must be a number of seconds, not {type(backoff).__name__}")
    if not backoff >= 0:
        raise ValueError(f"backoff must be 0 or more seconds, not {backoff!r}")
    _check_seconds(deadline, "deadline")
    if max_bytes is not None:
        if isinstance(max_bytes, bool) or not isinstance(max_bytes, int):
            raise TypeError(f"max_bytes must be an int or None, not {type(max_bytes).__name__}")
        if max_bytes < 1:
            raise ValueError(f"max_bytes must be 1 or more, not {max_bytes}")
    if session is not None:
        if not callable(getattr(session, "get", None)):
            raise TypeError(f"session must have a get() method like requests.Session, not {type(session).__name__}")
        if retries:
            raise ValueError(
                "retries apply to the session quorvex makes; with your own "
                "session, mount a retrying adapter on it instead"
            )
    path = _store.resolve(store)
    if isinstance(recheck_days, bool) or not isinstance(recheck_days, int):
        raise TypeError(f"recheck_days must be an int, not {type(recheck_days).__name__}")
    if recheck_days < 0:
        raise ValueError(f"recheck_days must be 0 or more, not {recheck_days}")
    if rate is not None:
        if isinstance(rate, bool) or not isinstance(rate, (int, float)):
            raise TypeError(f"rate must be a number of requests a second or None, not {type(rate).__name__}")
        if not (rate > 0 and math.isfinite(rate)):
            raise ValueError(f"rate must be more than 0 requests a second, not {rate!r}")
    default = (
        checked is None
        and retries == 0
        and session is None
        and deadline is None
        and max_bytes == DEFAULT_MAX_BYTES
        and path is None
        and rate is None
    )
    from quorvex.process_client.login import Client

    with _lock:
        previous = _configured
        if default:
            _configured = None
            Client.transport = None
            for dataset in DATASETS.values():
                module = sys.modules.get(dataset.module)
                if module is not None:
                    module.requests = requests  # type: ignore[attr-defined]
        else:
            configured = ConfiguredRequests(
                requests.Session() if session is None else session,
                checked,
                retries=retries,
                backoff=backoff,
                deadline=deadline,
                max_bytes=max_bytes,
                own=session is None,
                store=None if path is None else HistoryStore(path, recheck_days),
                throttle=None if rate is None else Throttle(rate),
            )
            # The modules are imported now, so that one imported later cannot miss
            # the setting: each can be imported only once per process.
            modules = [importlib.import_module(dataset.module) for dataset in DATASETS.values()]
            _configured = configured
            Client.transport = configured.post
            for module in modules:
                module.requests = configured  # type: ignore[attr-defined]
        if previous is not None:
            previous.close()


def configured() -> Optional[ConfiguredRequests]:
    """The object ``configure`` installed, or ``None`` while the default holds."""
    return _configured


class DownloadError(Exception):
    """Some tickers of a ``download`` failed.

    ``errors`` maps each failed ticker to its exception, in the order of the tickers;
    ``table`` is the table of the tickers that succeeded (``None`` if none did). The
    message names every failed ticker with its error.
    """

    def __init__(
        self,
        message: str,
        *,
        table: Optional[pandas.DataFrame] = None,
        errors: Optional[Dict[str, BaseException]] = None,
    ) -> None:
        super().__init__(message)
        self.table = table
        self.errors: Dict[str, BaseException] = dict(errors or {})


def _check_tickers(tickers: Any) -> List[str]:
    if isinstance(tickers, (str, bytes)):
        raise TypeError(f"tickers must be a list of tickers, not one string: write [{tickers!r}]")
    try:
        names = list(tickers)
    except TypeError:
        raise TypeError(f"tickers must be a list of tickers, not {type(tickers).__name__}") from None
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"each ticker must be a str, not {type(name).__name__}: {name!r}")
    # Plain str: the price-bar function accepts nothing else (numpy's str_ included).
    unique = list(dict.fromkeys(str(name) for name in names))
    if not unique:
        raise ValueError("tickers is empty: give at least one ticker")
    return unique


def _progress_bar(progress: Optional[bool], total: int, dataset: str) -> Any:
    if progress is None:
        stream = sys.stderr
        progress = stream is not None and hasattr(stream, "isatty") and stream.isatty()
        if not progress:
            return None
        try:
            import tqdm
        except ImportError:
            return None
    elif not progress:
        return None
    else:
        try:
            import tqdm
        except ImportError:
            raise ImportError(
                "progress=True draws its bar with tqdm, which is not installed: pip install tqdm (or quorvex[progress])"
            ) from None
    return tqdm.tqdm(total=total, desc=dataset, unit="ticker", file=sys.stderr)


def _describe(error: BaseException) -> str:
    text = mask_url(str(error)).replace("\n", "\n    ")
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _combine(tables: Sequence[pandas.DataFrame], keep_index: bool) -> pandas.DataFrame:
    import pandas as pd

    # Empty tables add no rows, and pandas warns about their dtypes in a concat.
    filled = [table for table in tables if len(table)] or list(tables[:1])
    if len(filled) == 1:
        return filled[0] if keep_index else filled[0].reset_index(drop=True)
    with warnings.catch_warnings():
        # A column that is all missing in one ticker's table (a dividend amount
        # that is not known yet): its dtype is ignored, as pandas has always done.
        warnings.filterwarnings("ignore", "The behavior of DataFrame concatenation with empty", FutureWarning)
        return pd.concat(filled, ignore_index=not keep_index)


def download(
    dataset: str,
    tickers: Iterable[str],
    fromDate: str,
    toDate: str,
    period: str = "D",
    unit: float = 1,
    *,
    workers: int = 8,
    progress: Optional[bool] = None,
    bulk: bool = True,
) -> pandas.DataFrame:
    """Fetch ``dataset`` for every ticker and return one table with a "ticker" column.

    ``dataset`` is "pricebars", "foreign", "dealerDesk", "matchBook" or "dividend";
    its data function is called with each ticker and the other arguments on a pool of
    ``workers`` threads. ``period`` is given to the four time series, ``unit`` to
    "foreign" and "dealerDesk"; for the others they must stay at their defaults.
    ``fromDate`` and ``toDate`` are "YYYY-MM-DD" days, the first not after the last, and
    ``period`` a rule the installed pandas resamples by: anything else raises ValueError
    before any request, in the words of the command line.
    The tables follow the order of ``tickers`` (a repeated ticker is fetched once);
    each keeps the shape its function gives, with "ticker" as the first column, and
    the dividend rows are numbered 0, 1, 2, ... across all tickers.

    When some tickers fail, ``DownloadError`` is raised once all have been tried: it
    names each failed ticker with its error and carries the table of the others.
    A progress bar (tqdm) goes to stderr when ``progress`` is true, or, when it is
    None, when stderr is a terminal and tqdm is installed.

    Calls go through whatever ``configure`` set; to reuse connections and bound
    every wait, call ``configure(timeout=...)`` first. Once it is set (with quorvex's
    own session), a time series takes the bulk path when ``bulk`` is true: each answer
    is decoded into typed columns by compiled code while other workers wait for the
    service, and one table is made at the end (another period is regrouped per ticker
    as its data function does). The table is the one the data functions give;
    ``bulk=False`` calls them for every ticker instead, as does every call the bulk path
    cannot stand in for (the dividends, a rebound module global, a session of your own).
    Ctrl-C (KeyboardInterrupt in the calling thread) ends it at once: the tickers not
    started are dropped, and the calls still running are abandoned on daemon threads.
    """
    spec = DATASETS.get(dataset)
    if spec is None:
        raise ValueError(f"unknown dataset {dataset!r}; one of: {', '.join(DATASETS)}")
    if not spec.has_period and period != "D":
        raise ValueError(f"{dataset} has no period; leave period at 'D'")
    if not spec.has_unit and not (type(unit) in (int, float) and unit == 1):
        raise ValueError(f"{dataset} has no unit; leave unit at 1")
    # Refused here, once, rather than by every ticker's request.
    _arguments.check_range(fromDate, toDate)
    if spec.has_period:
        _arguments.check_period(period)
    if isinstance(workers, bool) or not isinstance(workers, int):
        raise TypeError(f"workers must be an int, not {type(workers).__name__}")
    if workers < 1:
        raise ValueError(f"workers must be 1 or more, not {workers}")
    names = _check_tickers(tickers)
    function: Callable[..., pandas.DataFrame] = getattr(importlib.import_module(spec.module), spec.function)
    extra: Tuple[Any, ...] = ((period,) if spec.has_period else ()) + ((unit,) if spec.has_unit else ())
    bar = _progress_bar(progress, len(names), dataset)
    workers = min(workers, len(names))
    current = _configured
    if current is not None:
        current.ensure_pool(workers)
    path = _bulk.bulk_path(spec, function, current, (fromDate, toDate), period, unit, hand_over) if bulk else None
    fetch = path.fetch if path is not None else lambda name: function(name, fromDate, toDate, *extra)

    tables: Dict[str, Any] = {}
    errors: Dict[str, BaseException] = {}
    pending = iter(names)
    lock = threading.Lock()
    stop = threading.Event()
    # Set once every ticker is in, or at once when a worker meets an error that is not
    # an Exception (it is raised in the caller's thread). The caller's thread sleeps
    # until then rather than waking for every ticker.
    finished = threading.Event()
    arrived: List[Tuple[str, Any, Optional[BaseException]]] = []

    def work() -> None:
        while not stop.is_set():
            with lock:
                name = next(pending, None)
            if name is None:
                return
            try:
                result: Tuple[str, Any, Optional[BaseException]] = (name, fetch(name), None)
            except BaseException as error:  # noqa: BLE001  (handed to the caller's thread)
                result = (name, None, error)
            with lock:
                arrived.append(result)
                if len(arrived) == len(names) or not isinstance(result[2], (Exception, type(None))):
                    finished.set()

    # Daemon threads of its own rather than a ThreadPoolExecutor, whose workers the
    # interpreter joins at exit: on Ctrl-C the tickers not started are dropped, and a
    # call still waiting for the service is abandoned, never keeping the process alive.
    for number in range(workers):
        threading.Thread(target=work, name=f"quorvex-download-{number}", daemon=True).start()
    try:
        shown = 0
        # With a bar, a look ten times a second to move it.
        while not finished.wait(None if bar is None else 0.1):
            assert bar is not None
            # One read of the length: it may grow between two.
            count = len(arrived)
            bar.update(count - shown)
            shown = count
        with lock:
            results = list(arrived)
        for name, table, failure in results:
            if failure is None:
                tables[name] = table
            elif isinstance(failure, Exception):
                errors[name] = failure
            else:
                raise failure
        if bar is not None:
            bar.update(len(results) - shown)
    finally:
        stop.set()
        if bar is not None:
            bar.close()

    ordered = None if path is None else path.tables(names, tables)
    if ordered is None:
        ordered = []
        for name in names:
            table = tables.get(name)
            if table is not None:
                if path is not None:
                    table = path.table_of(name, table)
                if "ticker" not in table.columns:
                    table.insert(0, "ticker", name)
                ordered.append(table)
    combined = _combine(ordered, keep_index=spec.has_period) if ordered else None
    if not errors:
        assert combined is not None
        return combined
    failed = {name: errors[name] for name in names if name in errors}
    lines = [
        f"{dataset}: {len(failed)} of {len(names)} tickers failed"
        + (f"; the table of the other {len(tables)} is in .table" if ordered else "")
    ]
    lines += [f"  {name}: {_describe(error)}" for name, error in failed.items()]
    raise DownloadError("\n".join(lines), table=combined, errors=failed) from next(iter(failed.values()))
