"""``configure``: the settings of every data request from now on, checked, and bound into
the data modules (and the login) in one place."""

from __future__ import annotations

import math
import os
import threading
from typing import Any, Optional, Union

import requests

from quorvex import datasets as _registry
from quorvex import store as _store
from quorvex.remote import transport as _transport
from quorvex.remote.client import ConfiguredRequests
from quorvex.remote.policy import DEFAULT_MAX_BYTES, POOL_SIZE, Timeout, _check_seconds, _check_timeout
from quorvex.store import DEFAULT_RECHECK_DAYS, HistoryStore
from quorvex.throttle import Throttle

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
    before a call's first attempt does not count in its deadline, but may last no
    longer than it (else ``DeadlineExceeded``, nothing sent); every later wait counts.

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
            _registry.rebind("requests", requests)
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
            # Every module is imported now, so that none imported later misses the setting.
            _registry.rebind("requests", configured, load=True)
            _configured = configured
            Client.transport = configured.post
        if previous is not None:
            previous.close()


def configured() -> Optional[ConfiguredRequests]:
    """The object ``configure`` installed, or ``None`` while the default holds."""
    return _configured
