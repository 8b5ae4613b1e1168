"""Many configured calls at once on one thread, for ``download``'s bulk path.

Each call is its steps (``quorvex.remote.steps``): its exchanges are the transfers of
one libcurl multi handle, its pauses timers. The multi handle is driven through its
socket interface, with the sockets watched by ``selectors`` (epoll on Linux):
``CurlMulti.select`` spins once more than 1,024 descriptors are open, and a blocking
transfer a thread costs every ticker a thread's wake-ups and a turn at the interpreter
lock for each of libcurl's callbacks. Measured with 64 transfers in flight over HTTPS
(``bench/bulk.py --https``): a third less of the client's CPU a ticker than 64 threads
each performing its own transfers on pooled handles.
"""

from __future__ import annotations

import heapq
import itertools
import selectors
import threading
import time
from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple

import pycurl

from quorvex.remote.steps import Exchange, Steps

#: ``done(key, value, error)``: a call's answer, or the exception it ended with.
Done = Callable[[Any, Any, Optional[BaseException]], None]

# The longest wait for a socket before the stop flag is looked at again.
_LOOK = 0.1


class Calls:
    """A libcurl multi handle with the connections it keeps; ``run`` at most one at a
    time (``Pool.many`` hands each thread its own)."""

    def __init__(self) -> None:
        self.multi = pycurl.CurlMulti()
        self.multi.setopt(pycurl.M_SOCKETFUNCTION, self._socket)
        self.multi.setopt(pycurl.M_TIMERFUNCTION, self._timer)
        self.selector = selectors.DefaultSelector()
        self._timeout: Optional[float] = None
        self._running: Dict[Any, Tuple[Any, Steps[Any], Any, Any]] = {}
        self._pauses: List[Tuple[float, int, Any, Steps[Any]]] = []
        self._order = itertools.count()
        self._done: Done = lambda key, value, error: None
        self._active = 0
        self._look_at = 0.0

    def close(self) -> None:
        self.multi.close()
        self.selector.close()

    # --- libcurl's callbacks ---

    def _socket(self, what: int, fd: int, _multi: Any, _data: Any) -> None:
        if what == pycurl.POLL_REMOVE:
            try:
                self.selector.unregister(fd)
            except (KeyError, ValueError):
                pass
            return
        events = (selectors.EVENT_READ if what & pycurl.POLL_IN else 0) | (
            selectors.EVENT_WRITE if what & pycurl.POLL_OUT else 0
        )
        try:
            self.selector.modify(fd, events)
        except KeyError:
            self.selector.register(fd, events)
        except OSError:  # closed and opened again under the same number
            self.selector.unregister(fd)
            self.selector.register(fd, events)
        # (An exception here would be printed and lost by pycurl; none is expected.)

    def _timer(self, milliseconds: int) -> None:
        self._timeout = None if milliseconds < 0 else time.monotonic() + milliseconds / 1000

    # --- the calls ---

    def run(self, calls: Iterable[Tuple[Any, Steps[Any]]], width: int, done: Done, stop: threading.Event) -> None:
        """Does the steps of every call, at most ``width`` at once, and hands each
        call's outcome to ``done`` (on this thread) as it ends. Once ``stop`` is set,
        no call is started and those under way are dropped."""
        pending = iter(calls)
        self._done, self._active = done, 0
        self.multi.setopt(pycurl.M_MAXCONNECTS, max(width, 1))
        try:
            while not stop.is_set():
                while self._active < width:
                    call = next(pending, None)
                    if call is None:
                        break
                    self._active += 1
                    self._advance(call[0], call[1], None, None)
                    if stop.is_set():
                        return
                if self._active == 0:
                    return
                self._wait()
        finally:
            self._drop()

    def _wait(self) -> None:
        now = time.monotonic()
        wake = now + _LOOK
        if self._timeout is not None:
            wake = min(wake, self._timeout)
        if self._pauses:
            wake = min(wake, self._pauses[0][0])
        events = self.selector.select(max(0.0, wake - now)) if self.selector.get_map() else None
        if events is None and wake > now:
            time.sleep(wake - now)
        for key, mask in events or ():
            self._act(
                key.fd,
                (pycurl.CSELECT_IN if mask & selectors.EVENT_READ else 0)
                | (pycurl.CSELECT_OUT if mask & selectors.EVENT_WRITE else 0),
            )
        if self._timeout is not None and time.monotonic() >= self._timeout:
            self._timeout = None
            self._act(pycurl.SOCKET_TIMEOUT, 0)
        self._collect()
        now = time.monotonic()
        # The gap between bytes of an answer (the read part of a (connect, read) limit),
        # which libcurl's progress calls watch only while a thread performs a transfer.
        if now >= self._look_at:
            self._look_at = now + _LOOK
            self._stalled(now)
        while self._pauses and self._pauses[0][0] <= now:
            _, _, key, steps = heapq.heappop(self._pauses)
            self._advance(key, steps, None, None)

    def _stalled(self, now: float) -> None:
        for curl, (_, _, _, pooled) in list(self._running.items()):
            if pooled.transfer.stalls(now):
                self._finished(curl, pycurl.error(pycurl.E_ABORTED_BY_CALLBACK, "the answer stopped coming"))

    def _act(self, fd: int, action: int) -> None:
        while self.multi.socket_action(fd, action)[0] == pycurl.E_CALL_MULTI_PERFORM:
            pass

    def _collect(self) -> None:
        while True:
            queued, succeeded, failed = self.multi.info_read()
            for curl in succeeded:
                self._finished(curl, None)
            for curl, code, message in failed:
                self._finished(curl, pycurl.error(code, message))
            if not queued:
                return

    def _finished(self, curl: Any, error: Optional[BaseException]) -> None:
        key, steps, pool, pooled = self._running.pop(curl)
        self.multi.remove_handle(curl)
        try:
            answer = pool.finish(pooled, error)
        except Exception as failure:  # noqa: BLE001  raised in the call, at its step
            self._advance(key, steps, None, failure)
        else:
            self._advance(key, steps, answer, None)

    def _advance(self, key: Any, steps: Steps[Any], value: Any, failed: Optional[Exception]) -> None:
        """The call's steps up to its next exchange or pause, or to its end."""
        while True:
            try:
                step = steps.send(value) if failed is None else steps.throw(failed)
            except StopIteration as end:
                self._ended(key, end.value, None)
                return
            except Exception as error:  # noqa: BLE001  the call's own outcome
                self._ended(key, None, error)
                return
            if type(step) is not Exchange:
                heapq.heappush(self._pauses, (time.monotonic() + step.seconds, next(self._order), key, steps))
                return
            try:
                pooled = step.pool.begin(*step.args)
            except Exception as error:  # noqa: BLE001  raised in the call, at its step
                value, failed = None, error
                continue
            self._running[pooled.curl] = (key, steps, step.pool, pooled)
            self.multi.add_handle(pooled.curl)
            return

    def _ended(self, key: Any, value: Any, error: Optional[BaseException]) -> None:
        self._active -= 1
        self._done(key, value, error)

    def _drop(self) -> None:
        """Every call under way dropped, its handle closed (its connection with it)."""
        for curl, (_, steps, pool, pooled) in list(self._running.items()):
            self.multi.remove_handle(curl)
            pool.release(pooled, keep=False)
            steps.close()
        self._running.clear()
        for _, _, _, steps in self._pauses:
            steps.close()
        self._pauses.clear()
        self._done = lambda key, value, error: None
