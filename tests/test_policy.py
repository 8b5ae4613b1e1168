"""The loop of attempts on a clock of the test's own: which pauses it waits, when it gives
up and what it returns, for each kind of answer, with no real waiting."""

import datetime
import email.utils

import pytest
import requests

from quorvex.remote import policy
from quorvex.remote.client import ConfiguredRequests
from quorvex.remote.policy import RETRY_STATUSES

NOW = datetime.datetime(2024, 6, 10, 8, 0, tzinfo=datetime.timezone.utc)


class FakeClock(policy.Clock):
    """Time that passes only when the loop sleeps and by ``step`` per attempt."""

    def __init__(self, step=0.0):
        self.time, self.step, self.slept = 1000.0, step, []
        self.monotonic = lambda: self.time
        self.sleep = self._sleep
        self.now = lambda: NOW + datetime.timedelta(seconds=self.time - 1000.0)

    def _sleep(self, seconds):
        self.slept.append(round(seconds, 6))
        self.time += seconds


def stepless(attempt):
    """An attempt of the test's own as the loop takes one: steps that exchange nothing."""

    def steps(*args, **kwargs):
        return attempt(*args, **kwargs)
        yield

    return steps


def answer(status, retry_after=None):
    response = requests.Response()
    response.status_code = status
    if retry_after is not None:
        response.headers["Retry-After"] = retry_after
    return response


DROPPED = requests.exceptions.ConnectionError("dropped")
LATE = requests.exceptions.ReadTimeout("late")
IN_SEVEN = email.utils.format_datetime(NOW + datetime.timedelta(seconds=7), usegmt=True)


@pytest.mark.parametrize(
    "script, settings, slept, outcome",
    [
        # The first retry at once, the n-th after backoff * 2 ** (n - 1).
        ([503, 503, 503, 200], {"retries": 3, "backoff": 0.5}, [1.0, 2.0], 200),
        # Retry-After in seconds, as an HTTP date, and past the cap of a minute.
        ([(429, "2"), 200], {"retries": 1}, [2.0], 200),
        ([(503, IN_SEVEN), 200], {"retries": 1}, [7.0], 200),
        ([(429, "3600"), 200], {"retries": 1}, [60.0], 200),
        # Unusable values leave the backoff in charge.
        ([503, (503, "soon"), 200], {"retries": 2, "backoff": 1}, [2.0], 200),
        # A pause that would pass the deadline ends the call with the last answer.
        ([(429, "5"), 200], {"retries": 1, "deadline": 3, "timeout": 1}, [], 429),
        ([503, 503, 200], {"retries": 2, "backoff": 4, "deadline": 3, "timeout": 1}, [], 503),
        # The retries spent: the last answer; other statuses are not retried.
        ([503, 503], {"retries": 1}, [], 503),
        ([404, 200], {"retries": 3}, [], 404),
        # A dropped connection is retried; a time-out is not; spent, the error is raised.
        ([DROPPED, 200], {"retries": 1}, [], 200),
        ([LATE, 200], {"retries": 3}, [], requests.exceptions.ReadTimeout),
        ([DROPPED, DROPPED], {"retries": 1}, [], requests.exceptions.ConnectionError),
        # Each attempt takes its whole second: the third ends past the deadline, and its
        # answer is the call's (an earlier stop gives 502, a later one 200).
        ([503, 502, 500, 200], {"retries": 5, "backoff": 0, "deadline": 2.5, "timeout": 1, "step": 1}, [], 500),
    ],
)
def test_the_loop_waits_what_it_should_and_returns_what_came(script, settings, slept, outcome):
    clock = FakeClock(settings.pop("step", 0.0))
    timeout = settings.pop("timeout", None)
    client = ConfiguredRequests(None, timeout, backoff=settings.pop("backoff", 0.5), clock=clock, **settings)
    given = iter(script)
    numbers = []

    def attempt(session, method, url, kwargs, timeout, call_end, bound, rows, number):
        numbers.append(number)
        clock.time += clock.step
        item = next(given)
        if isinstance(item, Exception):
            raise item
        return answer(*item) if isinstance(item, tuple) else answer(item)

    client.attempt_steps = stepless(attempt)
    try:
        result = policy.call(client, None, "get", "http://127.0.0.1:9/x", {}, RETRY_STATUSES, timeout, True)
    except requests.exceptions.RequestException as error:
        result = error
    if isinstance(outcome, int):
        assert result.status_code == outcome
    else:
        assert type(result) is outcome
    assert clock.slept == slept
    assert numbers == list(range(1, len(numbers) + 1))
