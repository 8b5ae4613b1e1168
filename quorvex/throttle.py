"""The request rate ``configure(rate=...)`` sets: a token bucket shared by every thread.

Each attempt (a data request, a retry, a login) takes one token. Tokens come back at
``rate`` per second, and at most ``burst`` of them are held, so at most
``burst + rate * t`` requests go out in any t seconds.

A 429 answer halves the rate (never below MIN_FRACTION of the configured one) and empties
the bucket; every RECOVERY_SECONDS without another 429 doubles the rate back, until it is
the configured rate again. A 429's ``Retry-After`` holds every thread's next request
until it has passed (at most the layer's longest retry pause), besides the pause of the
request it answered.

The bucket reads the time from ``monotonic`` and waits with ``sleep`` (the machine's
monotonic clock and ``time.sleep`` unless others are given).
"""

from __future__ import annotations

import math
import threading
import time
from typing import Any, Callable, Generator, NamedTuple, Optional

__all__ = ["MAX_BURST", "MIN_FRACTION", "RECOVERY_SECONDS", "Throttle", "default_burst"]

#: The most requests sent at once after a quiet spell.
MAX_BURST = 4

#: Seconds without a 429 after which a lowered rate doubles.
RECOVERY_SECONDS = 10.0

#: The lowest share of the configured rate that 429s can bring it down to.
MIN_FRACTION = 1 / 16

# A token, or an instant, this close counts as there: a wait computed to the end of a
# hold or to a whole token may land a rounding error short of it, and waiting out that
# error could take forever on a clock that only moves by the waits.
_ROUNDING = 1e-9


class Wait(NamedTuple):
    """A wait for the next token: ``seconds`` on ``clock``'s ``sleep``."""

    seconds: float
    clock: Any


def default_burst(rate: float) -> float:
    """The bucket's size: MAX_BURST, or the rate itself when it is lower (at least 1)."""
    return max(1.0, min(float(MAX_BURST), float(rate)))


class Throttle:
    """At most ``rate`` requests a second across threads, after a burst of ``burst``."""

    def __init__(
        self,
        rate: float,
        burst: Optional[float] = None,
        *,
        monotonic: Callable[[], float] = time.monotonic,
        sleep: Callable[[float], None] = time.sleep,
    ) -> None:
        self.rate = float(rate)
        self.burst = default_burst(rate) if burst is None else float(burst)
        self._monotonic = monotonic
        self._sleep = sleep
        self._lock = threading.Lock()
        self._tokens = self.burst
        self._stamp = monotonic()
        self._lowered: Optional[float] = None
        self._lowered_at = 0.0
        self._hold_until = 0.0

    def current(self, now: Optional[float] = None) -> float:
        """The rate in force now (or at the instant ``now`` of the bucket's clock): the
        configured one, or what 429s lowered it to."""
        with self._lock:
            return self._current(self._monotonic() if now is None else now)

    def _current(self, now: float) -> float:
        rate = self._rate_at(now)
        if rate >= self.rate:
            self._lowered = None
        return rate

    def _step(self, at: float) -> int:
        # How many times the lowered rate has doubled by the instant ``at``.
        return max(0, int((at - self._lowered_at) // RECOVERY_SECONDS))

    def _lowered_rate(self, step: int) -> float:
        assert self._lowered is not None
        return min(self.rate, self._lowered * 2.0 ** min(step, 64))

    def _rate_at(self, at: float) -> float:
        return self.rate if self._lowered is None else self._lowered_rate(self._step(at))

    def _earned(self, start: float, end: float) -> float:
        """The tokens that come back between the two instants, each stretch at the rate
        in force then (a lowered rate doubles along the way)."""
        if self._lowered is None:
            return max(0.0, end - start) * self.rate
        total = 0.0
        step = self._step(start)
        while start < end:
            rate = self._lowered_rate(step)
            if rate >= self.rate:
                return total + (end - start) * rate
            stop = min(end, self._lowered_at + (step + 1) * RECOVERY_SECONDS)
            total += max(0.0, stop - start) * rate
            start = max(start, stop)
            step += 1
        return total

    def _ready_at(self, now: float) -> float:
        """The instant the bucket holds a whole token again, if nobody takes one."""
        need = 1.0 - self._tokens
        if need <= 0:
            return now
        if self._lowered is None:
            return now + need / self.rate
        at, step = now, self._step(now)
        while True:
            rate = self._lowered_rate(step)
            if rate >= self.rate:
                return at + need / rate
            stop = self._lowered_at + (step + 1) * RECOVERY_SECONDS
            gain = max(0.0, stop - at) * rate
            if gain >= need:
                return at + need / rate
            need -= gain
            at = max(at, stop)
            step += 1

    def _refill(self, now: float) -> float:
        self._tokens = min(self.burst, self._tokens + self._earned(self._stamp, now))
        self._stamp = max(self._stamp, now)
        return self._current(now)

    def acquire(self, until: Optional[float] = None) -> bool:
        """Wait until a request may go out, take its token and return True.

        ``until``: an instant of the bucket's clock. When the token (the rate, or a
        Retry-After holding every thread) could be had only at or after it, return
        False at once, without waiting and without taking a token.
        """
        steps = self.token(until)
        try:
            while True:
                self._sleep(next(steps).seconds)
        except StopIteration as end:
            return bool(end.value)

    def token(self, until: Optional[float] = None) -> Generator[Wait, None, bool]:
        """``acquire`` as steps: each wait yielded (a ``Wait``), the outcome returned."""
        while True:
            wait = self.wait(until)
            if wait is None:
                return True
            if wait == math.inf:
                return False
            # Another thread may take the token meanwhile: then the wait starts again.
            yield Wait(wait, self)

    def wait(self, until: Optional[float] = None) -> Optional[float]:
        """``acquire`` without the waiting: None once the token is taken; else the
        seconds to wait before asking again, or ``math.inf`` when the token could be had
        only at or after ``until`` (then nothing is taken)."""
        with self._lock:
            now = self._monotonic()
            self._refill(now)
            if now >= self._hold_until - _ROUNDING and self._tokens >= 1.0 - _ROUNDING:
                self._tokens = max(0.0, self._tokens - 1.0)
                return None
            ready = max(self._hold_until, self._ready_at(now))
            if until is not None and ready >= until:
                return math.inf
            return max(0.0, ready - now)

    def sleep(self, seconds: float) -> None:
        """A wait on the bucket's clock."""
        self._sleep(seconds)

    def refused(self, retry_after: Optional[float]) -> None:
        """A 429 came: lower the rate, and hold every request for ``retry_after`` s."""
        with self._lock:
            now = self._monotonic()
            rate = self._refill(now)
            self._lowered = max(rate / 2.0, self.rate * MIN_FRACTION)
            self._lowered_at = now
            # The tokens saved up at the old rate would let a burst through at once.
            self._tokens = min(self._tokens, 0.0)
            if retry_after is not None and retry_after > 0:
                self._hold_until = max(self._hold_until, now + retry_after)

    def __repr__(self) -> str:
        return f"<quorvex throttle: {self.rate:g}/s, burst {self.burst:g}>"
