"""The request rate ``configure(rate=...)`` sets: a token bucket shared by every thread.

Each attempt (a data request, a retry, a login) takes one token. Tokens come back at
``rate`` per second, and at most ``burst`` of them are held, so at most
``burst + rate * t`` requests go out in any t seconds.

A 429 answer halves the rate (never below MIN_FRACTION of the configured one); every
RECOVERY_SECONDS without another 429 doubles it back, until it is the configured rate
again. A 429's ``Retry-After`` holds every thread's next request until it has passed
(at most the layer's longest retry pause), besides the pause of the request it
answered.
"""

from __future__ import annotations

import threading
import time
from typing import Optional

__all__ = ["MAX_BURST", "MIN_FRACTION", "RECOVERY_SECONDS", "Throttle", "default_burst"]

#: The most requests sent at once after a quiet spell.
MAX_BURST = 4

#: Seconds without a 429 after which a lowered rate doubles.
RECOVERY_SECONDS = 10.0

#: The lowest share of the configured rate that 429s can bring it down to.
MIN_FRACTION = 1 / 16


def default_burst(rate: float) -> float:
    """The bucket's size: MAX_BURST, or the rate itself when it is lower (at least 1)."""
    return max(1.0, min(float(MAX_BURST), float(rate)))


class Throttle:
    """At most ``rate`` requests a second across threads, after a burst of ``burst``."""

    def __init__(self, rate: float, burst: Optional[float] = None) -> None:
        self.rate = float(rate)
        self.burst = default_burst(rate) if burst is None else float(burst)
        self._lock = threading.Lock()
        self._tokens = self.burst
        self._stamp = time.monotonic()
        self._lowered: Optional[float] = None
        self._lowered_at = 0.0
        self._hold_until = 0.0

    def current(self, now: Optional[float] = None) -> float:
        """The rate in force now: the configured one, or what 429s lowered it to."""
        with self._lock:
            return self._current(time.monotonic() if now is None else now)

    def _current(self, now: float) -> float:
        if self._lowered is None:
            return self.rate
        steps = max(0, int((now - self._lowered_at) // RECOVERY_SECONDS))
        rate = self._lowered * 2.0 ** min(steps, 64)
        if rate >= self.rate:
            self._lowered = None
            return self.rate
        return rate

    def _refill(self, now: float) -> float:
        rate = self._current(now)
        self._tokens = min(self.burst, self._tokens + (now - self._stamp) * rate)
        self._stamp = now
        return rate

    def acquire(self) -> None:
        """Wait until a request may go out, and take its token."""
        while True:
            with self._lock:
                now = time.monotonic()
                rate = self._refill(now)
                if now < self._hold_until:
                    wait = self._hold_until - now
                elif self._tokens >= 1.0:
                    self._tokens -= 1.0
                    return
                else:
                    wait = (1.0 - self._tokens) / rate
            time.sleep(wait)

    def refused(self, retry_after: Optional[float]) -> None:
        """A 429 came: lower the rate, and hold every request for ``retry_after`` s."""
        with self._lock:
            now = time.monotonic()
            rate = self._refill(now)
            self._lowered = max(rate / 2.0, self.rate * MIN_FRACTION)
            self._lowered_at = now
            # The tokens saved up at the old rate would let a burst through at once.
            self._tokens = min(self._tokens, 0.0)
            if retry_after is not None and retry_after > 0:
                self._hold_until = max(self._hold_until, now + retry_after)

    def __repr__(self) -> str:
        return f"<quorvex throttle: {self.rate:g}/s, burst {self.burst:g}>"
