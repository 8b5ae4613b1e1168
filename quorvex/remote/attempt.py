"""One attempt of a configured call: through quorvex's own transport or a caller's
session, bounded by the attempt's limit and the call's deadline, logged at DEBUG."""

from __future__ import annotations

import logging
import time
from typing import Any, Dict, Optional

import requests

from quorvex.config.config import mask_url, without_userinfo
from quorvex.remote import transport as _transport
from quorvex.remote.answers import CheckedResponse, _normalise, _read_body, _too_large
from quorvex.remote.policy import DeadlineExceeded, Timeout, _shortened, attempt_limit
from quorvex.remote.steps import Steps

log = logging.getLogger("quorvex")


def attempt_steps(
    client: Any, session: Any, method: str, url: str, *args: Any, number: int = 1
) -> Steps[requests.Response]:
    """The steps of one attempt (``_attempt_steps``' arguments after ``url``), counted
    for ``download``'s summary and logged at DEBUG with its outcome."""
    started = time.monotonic()
    client.tally.add("sent")
    response: Optional[requests.Response] = None
    outcome = "no answer"
    try:
        response = yield from _attempt_steps(client, session, method, url, *args)
    except BaseException as error:
        outcome = type(error).__name__
        raise
    finally:
        if log.isEnabledFor(logging.DEBUG):
            if response is not None:
                url = response.url or url
                outcome = f"status {response.status_code}, {len(response.content or b'')} bytes"
            milliseconds = (time.monotonic() - started) * 1000
            log.debug("%s %s: %s, %.0f ms, attempt %d", method.upper(), mask_url(url), outcome, milliseconds, number)
    return response


def _attempt_steps(
    client: Any,
    session: Any,
    method: str,
    url: str,
    kwargs: Dict[str, Any],
    timeout: Timeout,
    call_end: Optional[float],
    bound: Optional[float],
    rows: bool,
) -> Steps[requests.Response]:
    limit = attempt_limit(timeout)
    now = client.clock.monotonic()
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
    # The transfer keeps to the machine's clock; the call's may be a test's own.
    end = None if end is None else time.monotonic() + (end - now)
    if isinstance(session, _transport.Transport):
        connect, gap = timeout if isinstance(timeout, tuple) else (timeout, None)
        try:
            response = yield from session.steps(method, address, kwargs, connect, gap, end, client.max_bytes)
        except _transport.OutOfTime as error:
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
        response = _session_send(client, session, method, address, kwargs, timeout, end, url, limit, by_deadline, bound)
    if rows and type(response) is requests.Response:
        response.__class__ = CheckedResponse
    return response


def _session_send(
    client: Any,
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
            _read_body(response, end, client.max_bytes)
            return response

        arguments["stream"] = True
        arguments["hooks"] = {"response": [read, *session.hooks.get("response", [])]}
    try:
        response = getattr(session, method)(address, **arguments)
        if not hooked and isinstance(response, requests.Response):
            _read_body(response, end, client.max_bytes)
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
