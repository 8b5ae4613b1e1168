"""What comes back: answers checked as UTF-8 rows, a caller's session's body read with
the cap, answers handed over by the bulk path, and answers made of kept rows."""

from __future__ import annotations

import contextlib
import datetime
import http.client
import json
import logging
import socket
import threading
import time
from typing import Any, Dict, Iterator, List, Optional, Tuple

import requests
import urllib3
import urllib3.exceptions
from urllib3.exceptions import ReadTimeoutError

from quorvex import store as _store
from quorvex.config.config import mask_url
from quorvex.remote.policy import MESSAGE_BODY_LIMIT, RETRY_STATUSES, ResponseTooLarge
from quorvex.remote.steps import Steps
from quorvex.store import HistoryStore

log = logging.getLogger("quorvex")


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


def stored_get(
    client: Any, store: HistoryStore, ask: _store.Ask, url: str, kwargs: Dict[str, Any]
) -> Steps[requests.Response]:
    """The steps of the answer for ``ask`` made of kept rows and of the service's
    answers for the days the store lacks (each kept in one transaction as it comes)."""

    def asked(arguments: Dict[str, Any]) -> Steps[requests.Response]:
        return client.call_steps(client.session, "get", url, arguments, RETRY_STATUSES, client.timeout, rows=True)

    plan = store.plan(ask)
    if plan is None or plan.pieces == [(ask.first, ask.last)]:
        # Nothing of the range is kept: the request goes out unchanged, and its
        # answer is kept and returned as it came.
        response = yield from asked(kwargs)
        if plan is not None and response.status_code == 200:
            rows = _answer_rows(ask, ask.first, ask.last, response)
            if rows is not None:
                store.save(ask, ask.first, ask.last, rows)
        return response
    fetched: List[Tuple[str, str]] = []
    for first, last in plan.pieces:
        piece = dict(kwargs)
        piece["params"] = {"ticker": ask.ticker, "fromDate": first.isoformat(), "toDate": last.isoformat()}
        response = yield from asked(piece)
        if response.status_code != 200:
            return response  # the data function refuses it as it would any refusal
        rows = _answer_rows(ask, first, last, response)
        if rows is None:
            # An answer the store cannot merge (rows it cannot date, or outside the
            # range asked): the whole range is asked as the data function asked it.
            return (yield from asked(kwargs))
        store.save(ask, first, last, rows)
        fetched += rows
    # Kept rows come in their answer's order (one answer) or by day; the stable sort by
    # day merges the fetched ones in, each day from one source.
    merged = sorted(plan.kept + fetched, key=lambda row: row[0]) if fetched else plan.kept
    if not plan.pieces:
        client.tally.add("stored")
    log.debug(
        "GET %s: from the store, %d kept rows and %d fetched in %d requests",
        mask_url(url),
        len(plan.kept),
        len(fetched),
        len(plan.pieces),
    )
    return _stored_answer(url, kwargs, merged)


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
    response.encoding = "utf-8"
    response.headers["Content-Type"] = "application/json; charset=utf-8"
    response.headers["X-Quorvex-Store"] = "kept"
    prepared = requests.Request("GET", url, params=kwargs.get("params"), headers=kwargs.get("headers")).prepare()
    response.request = prepared
    response.url = prepared.url or url
    return response
