"""The policy of a configured call: its settings' bounds, the pauses between attempts,
Retry-After, and the loop of attempts that keeps to them.

Time comes from a ``Clock`` (``CLOCK`` by default), so that the pauses, the deadline and
Retry-After can be tested on a clock of the test's own, without waiting.
"""

from __future__ import annotations

import datetime
import email.utils
import math
import time
from typing import Any, Callable, Dict, Optional, Tuple, Union

import requests

from quorvex.config.config import mask_url
from quorvex.remote.steps import Pause, Steps, run

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


class Clock:
    """Where the policy reads the time and waits: ``monotonic()`` for intervals,
    ``sleep(seconds)`` for pauses, ``now()`` (aware, UTC) for Retry-After's dates."""

    monotonic: Callable[[], float] = staticmethod(time.monotonic)
    sleep: Callable[[float], None] = staticmethod(time.sleep)

    @staticmethod
    def now() -> datetime.datetime:
        return datetime.datetime.now(datetime.timezone.utc)


CLOCK = Clock()


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


def _transient(error: BaseException) -> bool:
    """A connection refused, reset or dropped, before the answer or inside its body."""
    return isinstance(
        error, (requests.exceptions.ConnectionError, requests.exceptions.ChunkedEncodingError)
    ) and not isinstance(error, requests.exceptions.Timeout)


def _retry_after(value: Optional[str], clock: Optional["Clock"] = None) -> Optional[float]:
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
        seconds = max(0.0, (when - (clock or CLOCK).now()).total_seconds())
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


def call(client: Any, *args: Any, **kwargs: Any) -> requests.Response:
    """A configured call, here and now (``call_steps``' arguments)."""
    return run(call_steps(client, *args, **kwargs))


def call_steps(
    client: Any,
    session: Any,
    method: str,
    url: str,
    kwargs: Dict[str, Any],
    statuses: frozenset,
    timeout: Timeout,
    rows: bool,
) -> Steps[requests.Response]:
    """Attempts until one is not refused for a while, the retries are spent or the
    next wait would end past the call's bound.

    The wait for the rate before the first attempt is not part of the call's time
    (with many threads it is the queue, not the service), but it is bounded by the
    call's bound as well: a call whose first token cannot come within it raises
    ``DeadlineExceeded`` without a request. From the first attempt on, every wait
    (a backoff or Retry-After pause, the rate, another thread's Retry-After) counts
    in the bound: a wait that would end past it ends the call with what the last
    attempt gave."""
    clock = client.clock
    bound = call_bound(timeout, client.retries, client.backoff, client.deadline)
    throttle = client.throttle
    if throttle is not None and not (yield from throttle.token(None if bound is None else clock.monotonic() + bound)):
        raise DeadlineExceeded(
            f"no request to {mask_url(url)} could be sent within the call's deadline of {bound:g} s: "
            "the rate (lowered or held by 429 answers) would not allow one sooner"
        )
    call_end = None if bound is None else clock.monotonic() + bound
    retry = 0
    while True:
        failure: Optional[BaseException] = None
        try:
            response = yield from client.attempt_steps(
                session, method, url, kwargs, timeout, call_end, bound, rows, number=retry + 1
            )
        except requests.exceptions.RequestException as error:
            if retry >= client.retries or not _transient(error):
                raise
            failure, asked = error, None
        else:
            if response.status_code == 429 and throttle is not None:
                throttle.refused(_retry_after(response.headers.get("Retry-After"), clock))
            if response.status_code not in statuses or retry >= client.retries:
                return response
            asked = _retry_after(response.headers.get("Retry-After"), clock)
        retry += 1
        client.tally.add("retried")
        pause = asked if asked is not None else _backoff_pause(retry, client.backoff)
        if call_end is not None and clock.monotonic() + pause >= call_end:
            # The pause would end past the deadline: the retries stop here, with
            # what the last attempt gave.
            if failure is not None:
                raise failure
            return response
        if pause > 0:
            yield Pause(pause, clock)
        if throttle is not None and not (yield from throttle.token(call_end)):
            # So would the wait for the next token (or another thread's hold).
            if failure is not None:
                raise failure
            return response
