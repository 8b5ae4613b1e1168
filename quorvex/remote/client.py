"""The object ``configure`` binds as ``requests`` in the data modules."""

from __future__ import annotations

import threading
from typing import Any, Dict, Optional, Tuple

import requests

from quorvex import store as _store
from quorvex.config.config import warn_clear_text
from quorvex.remote import attempt as _attempt
from quorvex.remote import policy as _policy
from quorvex.remote import transport as _transport
from quorvex.remote.answers import _handed, stored_get
from quorvex.remote.policy import (
    CLOCK,
    DEFAULT_MAX_BYTES,
    LOGIN_RETRY_STATUSES,
    RETRY_STATUSES,
    Clock,
    Timeout,
)
from quorvex.remote.steps import Steps, run
from quorvex.store import HistoryStore
from quorvex.throttle import Throttle


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
        clock: Clock = CLOCK,
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
        self.tally = Tally()
        self.clock = clock

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
        # The warning names the data function's caller: get_steps, run, this, the caller.
        return run(self.get_steps(url, params, warn_at=5, **kwargs))

    def get_steps(self, url: str, params: Any = None, *, warn_at: int, **kwargs: Any) -> Steps[requests.Response]:
        """The steps of ``get`` once nothing was handed over (``warn_at``: the frame a
        token's clear-text warning names, 2 for this one's caller)."""
        headers = kwargs.get("headers")
        if headers is not None and "Authorization" in headers:
            warn_clear_text("token", url, stacklevel=warn_at)
        kwargs["params"] = params
        if self.store is not None:
            ask = _store.recognise(url, params, headers)
            if ask is not None:
                return (yield from stored_get(self, self.store, ask, url, kwargs))
        return (yield from self.call_steps(self.session, "get", url, kwargs, RETRY_STATUSES, self.timeout, rows=True))

    def post(self, url: str, body: Dict[str, str]) -> requests.Response:
        """Send a login: POST ``body`` as JSON, redirects not followed, retried on
        connection errors, 429 and 503; its time limit is the configured one, or the
        login's own LOGIN_TIMEOUT when none is configured."""
        from quorvex.process_client import login

        timeout = self.timeout if self.timeout is not None else login.LOGIN_TIMEOUT
        kwargs = {"json": body, "allow_redirects": False}
        if self._own:
            return self.call(self.session, "post", url, kwargs, LOGIN_RETRY_STATUSES, timeout, rows=False)
        # A caller's session is for data; the login keeps to a transport of quorvex's own.
        own = _transport.Transport(self.verify, keep=1)
        try:
            return self.call(own, "post", url, kwargs, LOGIN_RETRY_STATUSES, timeout, rows=False)
        finally:
            own.close()

    def call(self, *args: Any, **kwargs: Any) -> requests.Response:
        """Attempts of one request, as the policy's settings say (``policy.call``)."""
        return _policy.call(self, *args, **kwargs)

    def call_steps(self, *args: Any, **kwargs: Any) -> Steps[requests.Response]:
        """The steps of ``call`` (``policy.call_steps``)."""
        return _policy.call_steps(self, *args, **kwargs)

    def attempt_steps(self, *args: Any, **kwargs: Any) -> Steps[requests.Response]:
        """The steps of one attempt (``attempt.attempt_steps``)."""
        return _attempt.attempt_steps(self, *args, **kwargs)

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
