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
    """Send every data function's request through quorvex's own transport from now on.

    timeout       seconds (or a (connect, read) pair) one attempt may take, body included;
                  None: no limit. Runs out: requests' Timeout, never retried.
    retries       sends again after a connection error or a 429/500/502/503/504, waiting
                  backoff * 2 ** (n - 1) seconds or the answer's Retry-After (at most
                  MAX_RETRY_AFTER); when spent, the last answer's ValueError (.response) or
                  the last ConnectionError.
    deadline      seconds the whole call may take, retries and pauses included
                  (DeadlineExceeded); default: every attempt at its limit plus the pauses.
    max_bytes     cap of an answer's unpacked body (ResponseTooLarge); None: no cap.
    session       a session-like object of your own, used as given and never closed
                  (retries are then yours to set up: retries= with session= is refused).
    store         keep answered rows in a local SQLite file and ask only for the days not
                  kept yet: True ($QUORVEX_STORE, else the user cache folder), a path, or
                  None/False for none. recheck_days: the last days asked for again.
    rate          at most this many requests a second across threads, logins included;
                  a 429 halves it for a while.
    verify        the service's certificate checked against the bundle requests uses
                  (True), a CA file or folder of your own (a path), or not at all (False).

    The login follows the same time limit (its own 30 s when none) and retries. configure()
    with no arguments restores plain requests.get per call: no limit, no retries, no cap.
    It applies to every data module and thread; configuring again closes quorvex's previous
    session. More: the README's "Using a real service".
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
