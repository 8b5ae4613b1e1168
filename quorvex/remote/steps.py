"""A configured call written as steps: the policy's loop, an attempt and the transport's
redirects are generators that yield each exchange with the service and each pause, and
get back the answer (or have its failure raised at the ``yield``). ``run`` does the
steps of one call on the calling thread; ``download``'s bulk path does those of many
calls at once on one thread (``quorvex.remote.multi``)."""

from __future__ import annotations

from typing import Any, Generator, NamedTuple, Optional, Tuple, TypeVar

T = TypeVar("T")


class Exchange(NamedTuple):
    """One request and its answer, redirects not followed: ``pool.exchange(*args)``."""

    pool: Any
    args: Tuple[Any, ...]


class Pause(NamedTuple):
    """A wait of ``seconds`` between attempts, on ``clock``'s ``sleep`` (the rate's
    ``Wait`` for a token has the same two fields)."""

    seconds: float
    clock: Any


Step = Any  # an Exchange, a Pause or the rate's Wait
Steps = Generator[Step, Any, T]


def run(steps: Steps[T]) -> T:
    """The steps of one call done here and now: each exchange performed on this thread,
    each pause slept; the call's answer returned or its failure raised."""
    value: Any = None
    failed: Optional[Exception] = None
    try:
        while True:
            step = steps.send(value) if failed is None else steps.throw(failed)
            value = failed = None
            try:
                if type(step) is Exchange:
                    value = step.pool.exchange(*step.args)
                else:
                    step.clock.sleep(step.seconds)
            except Exception as error:  # noqa: BLE001  raised in the call, at its step
                failed = error
    except StopIteration as stop:
        return stop.value  # type: ignore[no-any-return]
    finally:
        failed = None  # no cycle through the traceback
