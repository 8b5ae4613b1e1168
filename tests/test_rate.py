"""configure(rate=...): at most that many requests a second across threads after a small
burst, lowered by a 429 and recovering; against servers on 127.0.0.1."""

import threading
import time

import pytest
from werkzeug import Response

import quorvex
from quorvex import remote, throttle
from quorvex.process_client.login import Client

pytestmark = pytest.mark.timeout(60)


@pytest.fixture(autouse=True)
def _default_afterwards():
    yield
    quorvex.configure()


@pytest.fixture
def service(sample_service_module, monkeypatch):
    import quorvex.process_stock.pricebars as module

    with sample_service_module.make_server(port=0, extra_tickers=40) as server:
        Client.token = server.issue_token()
        monkeypatch.setattr(module, "base_url", server.base_url)
        yield server


def test_requests_keep_to_the_rate_across_threads(service):
    rate, count = 20, 24
    burst = throttle.default_burst(rate)
    quorvex.configure(timeout=10, rate=rate)
    tickers = [f"X{n:03d}" for n in range(1, count + 1)]
    start = time.monotonic()
    quorvex.download("pricebars", tickers, "2024-01-01", "2024-01-05", workers=8, progress=False)
    elapsed = time.monotonic() - start
    assert service.requests == count
    assert elapsed >= (count - burst) / rate * 0.97, elapsed
    # Without a rate the same requests take a fraction of that.
    quorvex.configure(timeout=10)
    start = time.monotonic()
    quorvex.download("pricebars", tickers, "2024-01-01", "2024-01-05", workers=8, progress=False)
    assert time.monotonic() - start < elapsed


def test_the_burst_goes_at_once_then_the_rate_holds():
    bucket = throttle.Throttle(5)
    start = time.monotonic()
    for _ in range(4):
        bucket.acquire()
    assert time.monotonic() - start < 0.15
    bucket.acquire()
    assert time.monotonic() - start >= 0.19
    assert throttle.default_burst(0.5) == 1 and throttle.default_burst(100) == throttle.MAX_BURST


def test_a_429_lowers_the_rate_which_recovers():
    bucket = throttle.Throttle(16)
    now = time.monotonic()
    bucket.refused(None)
    assert bucket.current(now) == 8
    bucket.refused(None)
    assert bucket.current() == 4
    later = time.monotonic() + throttle.RECOVERY_SECONDS
    assert bucket.current(later) == 8 and bucket.current(later + throttle.RECOVERY_SECONDS) == 16
    for _ in range(10):
        bucket.refused(None)
    assert bucket.current() == 16 * throttle.MIN_FRACTION
    assert bucket.current(time.monotonic() + 4 * throttle.RECOVERY_SECONDS) == 16


def test_a_429_from_the_service_lowers_the_rate_and_its_retry_after_holds_every_thread(httpserver, logged_in):
    import quorvex.process_stock.pricebars as module

    answers = iter([("", 429, {"Retry-After": "1"}), ("[]", 200, {})])
    lock = threading.Lock()

    def handler(request):
        with lock:
            body, status, headers = next(answers, ("[]", 200, {}))
        return Response(body, status=status, headers=headers, content_type="application/json")

    httpserver.expect_request("/api/stock/pricebars").respond_with_handler(handler)
    module.base_url, saved = httpserver.url_for("").rstrip("/"), module.base_url
    try:
        quorvex.configure(timeout=10, rate=50)
        with pytest.raises(ValueError, match="429"):
            quorvex.get_pricebars("FPT", "2024-01-01", "2024-01-05", "D")
        assert remote.configured().throttle.current() == 25
        # Another thread's call waits out the Retry-After before it is sent.
        start = time.monotonic()
        done = []
        worker = threading.Thread(
            target=lambda: done.append(quorvex.get_pricebars("FPT", "2024-01-01", "2024-01-05", "D"))
        )
        worker.start()
        worker.join(10)
        assert done and time.monotonic() - start >= 0.9
    finally:
        module.base_url = saved


def test_configure_refuses_a_bad_rate():
    for value, error in [
        (0, ValueError),
        (-1, ValueError),
        (float("inf"), ValueError),
        ("5", TypeError),
        (True, TypeError),
    ]:
        with pytest.raises(error, match="rate"):
            quorvex.configure(rate=value)
    quorvex.configure(rate=2.5)
    assert remote.configured().throttle.rate == 2.5
