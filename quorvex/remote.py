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
import http.client
import importlib
import json
import logging
import math
import os
import re
import socket
import sys
import threading
import time
import urllib.parse
import warnings
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
import urllib3
import urllib3.exceptions
from urllib3.exceptions import ReadTimeoutError

import quorvex.datasets as _registry
from quorvex import arguments as _arguments
from quorvex import bulk as _bulk
from quorvex import store as _store
from quorvex import transport as _transport
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


#: Every attempt at DEBUG, one summary per ``download`` at INFO; nothing above unless
#: something is wrong.
log = logging.getLogger("quorvex")


class Tally:
    """Counts of what the configured object did, for ``download``'s summary."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.sent = self.retried = self.stored = 0

    def add(self, name: str) -> None:
        with self._lock:
            setattr(self, name, getattr(self, name) + 1)

    def counts(self) -> Tuple[int, int, int]:
        with self._lock:
            return self.sent, self.retried, self.stored


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


# --- Reading the body of a caller's session with a cap ------------------------------------


#: Bytes read, and unpacked, at a time from a caller's session.
CHUNK = 1 << 16


def _read_body(response: requests.Response, end: Optional[float], max_bytes: Optional[int]) -> None:
    """Read the body of ``response`` (of a caller's session, sent with stream=True) into
    ``response.content``: at most ``max_bytes`` unpacked bytes, past them
    ``ResponseTooLarge``; past ``end`` (a ``time.monotonic()`` instant) ``ReadTimeout``.
    On any error the connection is dropped."""
    if response._content is not False:  # read already (a cached answer)
        if max_bytes is not None and len(response._content or b"") > max_bytes:
            raise _too_large(response, max_bytes)
        return
    if response.raw is None:
        return
    parts: List[bytes] = []
    size = 0
    # urllib3 from 2.3 on gives what has come (read1), so that the end is checked while
    # a body drips; before, a piece is whatever CHUNK bytes take to come.
    read1 = getattr(response.raw, "read1", None)
    pieces = iter(lambda: read1(CHUNK, decode_content=True), b"") if read1 else response.iter_content(CHUNK)
    try:
        for piece in pieces:
            size += len(piece)
            if max_bytes is not None and size > max_bytes:
                parts.clear()
                raise _too_large(response, max_bytes)
            parts.append(piece)
            if end is not None and time.monotonic() >= end:
                raise requests.exceptions.ReadTimeout("Read timed out while the body came")
        expected = _content_length(response)
        coding = response.headers.get("Content-Encoding", "").strip().lower()
        if coding in ("", "identity") and expected is not None and size < expected:
            # urllib3 1.x ends such a body quietly: it is a cut connection all the same.
            raise requests.exceptions.ChunkedEncodingError(
                f"Connection broken: the body ended after {size} of {expected} bytes"
            )
    except BaseException:
        # The connection goes, not back to the pool: the rest of the body is unread.
        response.close()
        raise
    response._content = b"".join(parts)


def _content_length(response: requests.Response) -> Optional[int]:
    if "chunked" in response.headers.get("Transfer-Encoding", "").lower() or response.status_code in (204, 304):
        return None
    try:
        return int(response.headers["Content-Length"])
    except (KeyError, ValueError):
        return None


def _too_large(response: requests.Response, max_bytes: int) -> ResponseTooLarge:
    response._content = b""
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


def _origin(url: str) -> Tuple[str, str, Optional[int]]:
    """(scheme, host, port) of ``url``, the port spelled out when it is the default."""
    parts = urllib.parse.urlsplit(url)
    try:
        port = parts.port
    except ValueError:
        port = None
    return parts.scheme, (parts.hostname or ""), port or {"http": 80, "https": 443}.get(parts.scheme)


def _prepared(method: str, url: str, headers: Dict[str, str], body: Optional[bytes]) -> requests.PreparedRequest:
    """The request as requests would show it on its answer (``response.request``)."""
    request = requests.PreparedRequest()
    request.method = method
    request.url = url
    request.headers = requests.structures.CaseInsensitiveDict(headers)
    request.body = body
    return request


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
        verify: _transport.Verify = True,
    ) -> None:
        self.session = session
        self.verify = verify
        self.store = store
        self.throttle = throttle
        self.timeout = timeout
        self.retries = retries
        self.backoff = backoff
        self.deadline = deadline
        self.max_bytes = max_bytes
        # Set when quorvex made the session (its transport, which it may resize and close).
        self._own = own
        # The addresses ahead of a query as requests quotes them.
        self._requote: Dict[str, str] = {}
        self._headers: Dict[Tuple[Any, ...], Dict[str, str]] = {}
        self.tally = Tally()

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
        if not plan.pieces:
            self.tally.add("stored")
        log.debug(
            "GET %s: from the store, %d kept rows and %d fetched in %d requests",
            mask_url(url),
            len(plan.kept),
            len(fetched),
            len(plan.pieces),
        )
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
        # A caller's session is for data; the login keeps to a transport of quorvex's own.
        own = _transport.Transport(self.verify, keep=1)
        try:
            return self._call(own, "post", url, kwargs, LOGIN_RETRY_STATUSES, timeout, rows=False)
        finally:
            own.close()

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
        next pause would end past the call's bound."""
        bound = call_bound(timeout, self.retries, self.backoff, self.deadline)
        throttle = self.throttle
        if throttle is not None:
            # Waiting for the rate before the first attempt is not part of the call's
            # time: with many threads it is the queue, not the service.
            throttle.acquire()
        call_end = None if bound is None else time.monotonic() + bound
        retry = 0
        while True:
            failure: Optional[BaseException] = None
            if throttle is not None and retry:
                throttle.acquire()
            try:
                response = self._attempt(session, method, url, kwargs, timeout, call_end, bound, rows, retry + 1)
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
            self.tally.add("retried")
            pause = asked if asked is not None else _backoff_pause(retry, self.backoff)
            if call_end is not None and time.monotonic() + pause >= call_end:
                # The pause would end past the deadline: the retries stop here, with
                # what the last attempt gave.
                if failure is not None:
                    raise failure
                return response
            if pause > 0:
                time.sleep(pause)

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
        number: int = 1,
    ) -> requests.Response:
        started = time.monotonic()
        self.tally.add("sent")
        try:
            response = self._attempt_once(session, method, url, kwargs, timeout, call_end, bound, rows)
        except BaseException as error:
            if log.isEnabledFor(logging.DEBUG):
                log.debug(
                    "%s %s: %s, %.0f ms, attempt %d",
                    method.upper(),
                    mask_url(url),
                    type(error).__name__,
                    (time.monotonic() - started) * 1000,
                    number,
                )
            raise
        if log.isEnabledFor(logging.DEBUG):
            log.debug(
                "%s %s: status %s, %d bytes, %.0f ms, attempt %d",
                method.upper(),
                mask_url(response.url or url),
                response.status_code,
                len(response.content or b""),
                (time.monotonic() - started) * 1000,
                number,
            )
        return response

    def _attempt_once(
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
        # The address's user information is never sent: requests would make it basic
        # auth, which replaces the token and puts the password on every request.
        address = without_userinfo(url)
        if isinstance(session, _transport.Transport):
            connect, gap = timeout if isinstance(timeout, tuple) else (timeout, None)
            try:
                response = self._exchange(session, method, address, kwargs, connect, gap, end)
            except _transport.Timeout as error:
                if by_deadline:
                    raise DeadlineExceeded(
                        f"no whole answer from {mask_url(url)} within the call's deadline of {bound:g} s"
                    ) from None
                if not error.connected and connect is not None:
                    raise requests.exceptions.ConnectTimeout(
                        f"Connect timed out: no connection to {mask_url(url)} within {connect:g} s"
                    ) from None
                raise requests.exceptions.ReadTimeout(
                    f"Read timed out: no whole answer from {mask_url(url)} within the time limit of {limit:g} s"
                ) from None
            except _transport.TooLarge as error:
                raise _too_large(error.response, error.cap) from None
        else:
            response = self._session_send(
                session, method, address, kwargs, timeout, end, url, limit, by_deadline, bound
            )
        if rows and type(response) is requests.Response:
            response.__class__ = CheckedResponse
        return response

    def _session_send(
        self,
        session: Any,
        method: str,
        address: str,
        kwargs: Dict[str, Any],
        timeout: Timeout,
        end: Optional[float],
        url: str,
        limit: Optional[float],
        by_deadline: bool,
        bound: Optional[float],
    ) -> requests.Response:
        """The request through a caller's session: its own limits on each read, and the
        body read with the cap as each answer comes."""
        arguments = dict(kwargs)
        arguments["timeout"] = _shortened(timeout, None if end is None else end - time.monotonic())
        hooked = isinstance(session, requests.Session)
        if hooked:
            # The body is read, capped, as each answer comes (redirects included),
            # before requests would read it whole.
            def read(response: requests.Response, **_: Any) -> requests.Response:
                _read_body(response, end, self.max_bytes)
                return response

            arguments["stream"] = True
            arguments["hooks"] = {"response": [read, *session.hooks.get("response", [])]}
        try:
            response = getattr(session, method)(address, **arguments)
            if not hooked and isinstance(response, requests.Response):
                _read_body(response, end, self.max_bytes)
        except Exception as error:
            normal = _normalise(error)
            late = end is not None and time.monotonic() >= end
            if late and by_deadline and isinstance(normal, requests.exceptions.Timeout):
                raise DeadlineExceeded(
                    f"no whole answer from {mask_url(url)} within the call's deadline of {bound:g} s"
                ) from error
            if normal is error:
                raise
            raise normal from error
        return response

    def _exchange(
        self,
        transport: _transport.Transport,
        method: str,
        url: str,
        kwargs: Dict[str, Any],
        connect: Optional[float],
        gap: Optional[float],
        end: Optional[float],
    ) -> requests.Response:
        """The request through quorvex's own transport, redirects followed as requests
        follows them: at most MAX_REDIRECTS, a 303 (and a 301 or 302 of a POST) asked
        again with GET, the token dropped on the way to another origin."""
        method = method.upper()
        address = self._with_query(url, kwargs.get("params"))
        headers = self._merged_headers(kwargs.get("headers"))
        body: Optional[bytes] = None
        if kwargs.get("json") is not None:
            body = json.dumps(kwargs["json"], allow_nan=False).encode("utf-8")
            headers = {**headers, "Content-Type": headers.get("Content-Type", "application/json")}
        follow = kwargs.get("allow_redirects", True)
        history: List[requests.Response] = []
        while True:
            response = transport.exchange(method, address, headers, body, connect, end, self.max_bytes, gap)
            response.request = _prepared(method, address, headers, body)
            target = response.headers.get("Location") if response.status_code in _transport.REDIRECTS else None
            if not follow or target is None:
                break
            if len(history) >= _transport.MAX_REDIRECTS:
                raise requests.exceptions.TooManyRedirects(
                    f"Exceeded {_transport.MAX_REDIRECTS} redirects.", response=response
                )
            history.append(response)
            target = requests.utils.requote_uri(
                urllib.parse.urljoin(address, target.encode("latin-1").decode("utf-8", "replace"))
            )
            if urllib.parse.urlsplit(target).scheme not in ("http", "https"):
                raise requests.exceptions.InvalidSchema(f"a redirect to {mask_url(target)}, which is not http or https")
            if _origin(target) != _origin(address):
                headers = {name: value for name, value in headers.items() if name.lower() != "authorization"}
            status = response.status_code
            if (status == 303 and method != "HEAD") or (status in (301, 302) and method == "POST"):
                method, body = "GET", None
                headers = {name: value for name, value in headers.items() if name.lower() != "content-type"}
            address = without_userinfo(target)
        if history:
            response.history = history
        return response

    def _merged_headers(self, extra: Optional[Dict[str, Any]]) -> Dict[str, str]:
        """The default headers updated by the request's, None removing one (as requests
        merges them): made once per distinct set, as a download sends the same headers
        thousands of times. The result is not to be changed."""
        key = tuple(extra.items()) if extra else ()
        known = self._headers.get(key)
        if known is None:
            known = dict(_transport.DEFAULT_HEADERS)
            for name, value in key:
                for same in [same for same in known if same.lower() == name.lower()]:
                    del known[same]
                if value is not None:
                    known[name] = value
            if len(self._headers) >= 16:
                self._headers.clear()  # a token renewed again and again
            self._headers[key] = known
        return known

    def _with_query(self, url: str, params: Any) -> str:
        """``url`` with ``params`` as requests puts them in the query."""
        if not params:
            return requests.utils.requote_uri(url) if "?" in url else self._requoted(url, "")
        if (
            type(params) is dict
            and "?" not in url
            and all(type(k) is str and type(v) is str and _PLAIN.fullmatch(k + v) for k, v in params.items())
        ):
            # Names and values needing no quoting: the query requests would make, as it stands.
            return self._requoted(url, "?") + "&".join(f"{k}={v}" for k, v in params.items())
        prepared = requests.PreparedRequest()
        prepared.prepare_url(url, params)
        return prepared.url or url

    def _requoted(self, url: str, tail: str) -> str:
        key = url + tail
        known = self._requote.get(key)
        if known is None:
            if len(self._requote) >= 256:
                self._requote.clear()
            known = self._requote[key] = requests.utils.requote_uri(key)
        return known

    def ensure_pool(self, connections: int) -> None:
        """Let ``connections`` threads each keep a connection of quorvex's own transport."""
        if self._own:
            self.session.keep = max(self.session.keep, connections)

    def close(self) -> None:
        if self.store is not None:
            self.store.close()
        if self._own:
            self.session.close()

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
    verify: Union[bool, str, "os.PathLike[str]"] = True,
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
    before a call's first attempt does not count in its deadline.

    ``verify``: how the service's TLS certificate is checked, for the data and the login
    alike. ``True``: against the bundle requests would use (``REQUESTS_CA_BUNDLE``,
    else ``CURL_CA_BUNDLE``, else certifi's); a path: that CA file (PEM) or folder, for
    a self-signed or company certificate; ``False``: not at all.

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
    if isinstance(verify, os.PathLike):
        verify = os.fspath(verify)
    if not isinstance(verify, (bool, str)):
        raise TypeError(f"verify must be True, False or the path of a CA bundle, not {type(verify).__name__}")
    if isinstance(verify, str) and not os.path.exists(verify):
        raise ValueError(f"verify names no file or folder: {verify!r}")
    default = (
        verify is True
        and checked is None
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
                _transport.Transport(verify, keep=POOL_SIZE) if session is None else session,
                checked,
                retries=retries,
                backoff=backoff,
                deadline=deadline,
                max_bytes=max_bytes,
                own=session is None,
                store=None if path is None else HistoryStore(path, recheck_days),
                throttle=None if rate is None else Throttle(rate),
                verify=verify,
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
        counted = current.tally.counts()
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

    if current is not None and log.isEnabledFor(logging.INFO):
        sent, retried, stored = (now - then for now, then in zip(current.tally.counts(), counted))
        log.info(
            "download %s: %d tickers, %d requests sent, %d answered from the store, %d retried, %d failed",
            dataset,
            len(names),
            sent,
            stored,
            retried,
            len(errors),
        )
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
