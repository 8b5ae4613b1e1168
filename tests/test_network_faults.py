"""configure, download and the login against servers that misbehave: drips, silences,
cut bodies, odd Retry-After values, huge and packed bodies, malformed answers, redirects
of the login, credentials in the address and in clear text. Every server is on
127.0.0.1 (tests/hostile_servers.py)."""

import contextlib
import gc
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import warnings

import pytest
import requests

import quorvex
from helpers import PACKAGE_ROOT, run_python
from hostile_servers import (
    Answer,
    HostileServer,
    cut_body,
    drip_body,
    drip_headers,
    gzip_bomb,
    huge,
    json_rows,
    silent,
)
from quorvex import remote
from quorvex.config import config
from quorvex.process_client.login import Client

pytestmark = pytest.mark.timeout(60)

FROM, TO = "2024-01-01", "2024-01-31"

#: Seconds a bounded call may run past its bound before a test calls it a hang: CI runs
#: the suite on a loaded 2-core machine, sometimes under AddressSanitizer, where the
#: watchdog's thread and the test servers' wait their turn. Every hang these tests catch
#: lasts far longer (the drips never end; the time-outs left unbounded are 10 s and more).
SLACK = 2


def bar(close=1):
    return {"DateTime": "2024-01-02", "Open": close, "High": close, "Low": close, "Close": close, "Volume": 100}


ROWS = json_rows([bar()])
TOKEN = "tok-3f9c1b7e5d"


@pytest.fixture
def token():
    Client.token = TOKEN
    return TOKEN


@pytest.fixture
def serve(serve, token):
    """The scripted servers of conftest's ``serve``, logged in with TOKEN."""
    return serve


@pytest.fixture
def login_at(monkeypatch):
    """login_at(url) points the login at ``url``."""
    return lambda url: monkeypatch.setattr(config, "base_url", url)


def pricebars(ticker="FPT"):
    return quorvex.get_pricebars(ticker, FROM, TO, "D")


def timed(call, *args, **kwargs):
    """(result or exception, seconds taken)."""
    started = time.monotonic()
    try:
        outcome = call(*args, **kwargs)
    except Exception as error:  # noqa: BLE001  (inspected by the test)
        outcome = error
    return outcome, time.monotonic() - started


# --- time limits ---


@pytest.mark.parametrize(
    "make",
    [lambda: drip_body(0.3), lambda: drip_headers(0.3), lambda: silent()],
    ids=["body drip", "header drip", "silence"],
)
@pytest.mark.parametrize(
    "settings, limit",
    [
        ({"timeout": 1}, 1),
        ({"timeout": (0.5, 0.5)}, 1),
        ({"timeout": 1, "retries": 3, "backoff": 0}, 1),  # a time-out is not retried
    ],
)
def test_a_slow_answer_ends_in_read_timeout_within_the_limit(serve, make, settings, limit):
    server = serve(make())
    quorvex.configure(**settings)
    error, seconds = timed(pricebars)
    assert type(error) is requests.exceptions.ReadTimeout, error
    assert seconds < limit + SLACK and len(server.received) == 1


@pytest.mark.parametrize(
    "make, settings",
    [
        (lambda: drip_body(0.3), {"timeout": 10, "deadline": 1}),
        (lambda: drip_headers(0.3), {"timeout": 10, "deadline": 1}),
        (lambda: silent(), {"timeout": 5, "deadline": 0.4}),
        (lambda: silent(), {"deadline": 0.5}),  # a deadline alone bounds every wait
    ],
    ids=["body drip", "header drip", "silence", "deadline alone"],
)
def test_the_deadline_cuts_an_attempt_short_and_says_so(serve, make, settings):
    """Catches an attempt the deadline does not end (a drip, a silence, no time limit), and
    a message that does not say the deadline ran out or shows the address's password."""
    server = serve(make(), credentials="u:secret@")
    quorvex.configure(**settings)
    error, seconds = timed(pricebars)
    assert type(error) is remote.DeadlineExceeded and isinstance(error, requests.exceptions.Timeout)
    masked = re.escape(server.url.replace("//", "//u:***@"))
    deadline = settings["deadline"]
    assert re.match(
        rf"no (whole )?answer from {masked}/api/stock/pricebars within the call's deadline of {deadline} s$", str(error)
    )
    assert seconds < deadline + SLACK


@pytest.mark.parametrize(
    "make, expected, hooked",
    [
        pytest.param(
            lambda: drip_body(0.3),
            requests.exceptions.ReadTimeout,
            [],  # the cut body never reached the caller's hook
            marks=pytest.mark.skipif(
                not hasattr(__import__("urllib3").response.HTTPResponse, "read1"),
                reason="before urllib3 2.3 a caller's session reads a body in pieces of 64 KiB",
            ),
        ),
        (lambda: HostileServer(Answer(body=ROWS)), [1], [200]),
    ],
    ids=["dripping body", "whole body"],
)
def test_a_callers_session_gets_the_limits_and_checked_answers_and_keeps_its_hooks(serve, make, expected, hooked):
    """Catches a caller's session whose body escapes the time limit, whose hooks are
    dropped, or whose hooks see an answer before it was checked."""
    serve(make())
    seen = []
    with requests.Session() as session:
        session.hooks["response"].append(lambda response, **_: seen.append(response.status_code))
        quorvex.configure(session=session, timeout=1)
        result, seconds = timed(pricebars)
    if isinstance(expected, list):
        assert result["Close"].tolist() == expected
    else:
        assert type(result) is expected and seconds < 1 + SLACK
    assert seen == hooked


# --- retries ---


@pytest.mark.parametrize("framing", ["length", "chunked"])
@pytest.mark.parametrize("retries, outcome", [(1, "table"), (0, requests.exceptions.ChunkedEncodingError)])
def test_a_body_cut_halfway_is_retried(serve, framing, retries, outcome):
    server = serve(cut_body(ROWS, first=1, framing=framing))
    quorvex.configure(timeout=5, retries=retries, backoff=0)
    result, _ = timed(pricebars)
    if outcome == "table":
        assert result["Close"].tolist() == [1]
    else:
        assert type(result) is outcome
    assert len(server.received) == retries + 1


@pytest.mark.timeout(120)
@pytest.mark.parametrize("cut", [{"first": 1}, {"first": 1, "every": 5}], ids=["every first try", "one in five"])
def test_download_loses_no_ticker_to_cut_bodies(serve, cut):
    server = serve(cut_body(ROWS, **cut))
    tickers = [f"T{n:03d}" for n in range(200)]
    quorvex.configure(timeout=10, retries=3, backoff=0)
    table = quorvex.download("pricebars", tickers, FROM, TO, workers=8, progress=False)
    assert table["ticker"].tolist() == tickers
    assert len(server.received) == (240 if "every" in cut else 400)


@pytest.mark.parametrize(
    "answer, settings, requests_sent",
    [
        # Retry-After far beyond the bound: the retries stop at once with the refusal.
        (Answer(status=429, headers={"Retry-After": "999999"}), {"timeout": 2, "retries": 2}, 1),
        (Answer(status=503, headers={"Retry-After": "30"}), {"timeout": 2, "retries": 2, "deadline": 5}, 1),
        # No Retry-After: every backoff pause fits in the default bound.
        (Answer(status=429), {"timeout": 2, "retries": 8, "backoff": 0.001}, 9),
        # A deadline shorter than the backoff: the retries stop when a pause would pass it
        # (the third attempt starts 0.8 s in, the fourth could not before 2.4 s).
        (Answer(status=500), {"timeout": 2, "retries": 8, "backoff": 0.4, "deadline": 2}, 3),
    ],
)
def test_the_whole_call_stays_within_its_bound(serve, answer, settings, requests_sent):
    server = serve(HostileServer(answer))
    quorvex.configure(**settings)
    bound = remote.call_bound(
        settings["timeout"], settings["retries"], settings.get("backoff", 0.5), settings.get("deadline")
    )
    error, seconds = timed(pricebars)
    assert type(error) is ValueError and error.response.status_code == answer.status
    assert seconds <= bound + SLACK and len(server.received) == requests_sent


def test_a_retry_after_that_fits_is_waited_then_the_deadline_ends_the_call(serve):
    serve(HostileServer([Answer(status=503, headers={"Retry-After": "0.5"}), Answer(silent=True)]))
    quorvex.configure(timeout=10, retries=1, deadline=1.5)
    error, seconds = timed(pricebars)
    assert isinstance(error, remote.DeadlineExceeded) and 1.4 <= seconds < 1.5 + SLACK


# --- bounded memory ---

MEMORY_CHILD = """
import json, resource
import quorvex
from quorvex import remote
from quorvex.process_client.login import Client
quorvex.set_base_url({url!r})  # configured: the bulk path, its calls on one thread
Client.token = "t"
quorvex.configure(timeout=60)
def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
before = peak()
try:
    quorvex.get_pricebars("FPT", "2024-01-01", "2024-01-31", "D")
    outcome = ["table"]
except remote.ResponseTooLarge as error:
    outcome = [type(error).__name__, error.response.status_code, len(error.response.content), str(error)]
print(json.dumps(outcome + [peak() - before]))
"""


@pytest.mark.timeout(120)
@pytest.mark.parametrize(
    "make",
    [
        lambda: huge(256 << 20),
        lambda: huge(256 << 20, framing="close"),
        lambda: huge(256 << 20, framing="chunked", status=500),
        lambda: gzip_bomb(256 << 20),
    ],
    ids=["with length", "without length", "refusal", "gzip bomb"],
)
def test_a_huge_body_is_refused_within_the_cap(make):
    with make() as server:
        name, status, kept, message, grown = run_python(MEMORY_CHILD.format(url=server.url))
    assert name == "ResponseTooLarge" and status in (200, 500) and kept == 0
    assert f"larger than the cap of {remote.DEFAULT_MAX_BYTES} bytes" in message
    assert grown < remote.DEFAULT_MAX_BYTES + (24 << 20)


@pytest.mark.parametrize("framing", ["length", "close"])
def test_a_body_refused_at_the_cap_leaves_no_connection_behind(serve, framing):
    """The connection of a body cut at the cap is closed at once, not given back to the
    pool with the rest of the body in it."""
    serve(huge(1 << 20, framing=framing))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        quorvex.configure(timeout=10, max_bytes=1000)
        with pytest.raises(remote.ResponseTooLarge):
            pricebars()
        quorvex.configure()
        gc.collect()
    assert [str(w.message) for w in caught] == []


def test_a_redirect_body_is_capped_too(serve):
    target = serve(HostileServer(Answer(body=ROWS)))
    # The 302's body is read, with the cap, before its Location is followed.
    serve(HostileServer(Answer(status=302, headers={"Location": target.url + "/x"}, body=b" " * 5000)))
    quorvex.configure(timeout=5, max_bytes=4000)
    error, _ = timed(pricebars)
    assert isinstance(error, remote.ResponseTooLarge) and error.response.status_code == 302
    assert target.received == []


# --- redirects ---


def test_a_data_redirect_to_another_origin_drops_the_token(serve):
    other = serve(HostileServer(Answer(body=ROWS)))
    server = serve(HostileServer(Answer(status=307, headers={"Location": other.url + "/elsewhere"})))
    quorvex.configure(timeout=5)
    assert pricebars()["Close"].tolist() == [1]
    assert server.received[0].headers["authorization"] == f"Bearer {TOKEN}"
    assert "authorization" not in other.received[0].headers


def test_a_redirect_loop_ends(serve):
    server = serve(HostileServer(Answer(status=302, headers={"Location": "/again"})))
    quorvex.configure(timeout=5)
    assert isinstance(timed(pricebars)[0], requests.exceptions.TooManyRedirects)
    assert 2 < len(server.received) <= 31


# --- secrets ---

PASSWORD = "s3cr3t-pässwörd"


def login():
    return Client().login("demo", PASSWORD)


@pytest.mark.parametrize(
    "make, expected, timeout",
    [
        (lambda: silent(), requests.exceptions.Timeout, 0.5),
        # The answers that come get time enough to come on a loaded machine.
        (lambda: huge(1 << 20), remote.ResponseTooLarge, 10),
        (lambda: HostileServer(Answer(body=b"{}")), remote.MalformedAnswer, 10),
        (lambda: HostileServer(Answer(status=404, body=b"no")), ValueError, 10),
    ],
)
def test_no_error_shows_the_password_of_the_address_or_the_token(serve, make, expected, timeout):
    serve(make(), credentials="user:pw@")
    quorvex.configure(timeout=timeout, max_bytes=1000)
    failures = []
    for call in (pricebars, lambda: quorvex.download("pricebars", ["A", "B"], FROM, TO, progress=False)):
        error, _ = timed(call)
        failures += [error, *getattr(error, "errors", {}).values()]
    assert isinstance(failures[0], expected) and isinstance(failures[1], quorvex.DownloadError)
    for error in failures:
        for text in (str(error), repr(error)):
            assert "pw@" not in text and TOKEN not in text, text


def recording_service():
    """Answers the login with a token and every data request with rows; keeps the headers."""
    return HostileServer(lambda request, attempt: Answer(body=b'{"token": "t"}' if request.method == "POST" else ROWS))


@pytest.mark.parametrize("settings", [None, {}, {"session": True}], ids=["default", "configured", "callers-session"])
def test_credentials_in_the_address_are_never_sent_as_basic_auth(serve, login_at, settings):
    """requests turns an address's user:password@ into basic auth, which would replace the
    token of every data request and send the password with it."""
    server = serve(recording_service(), credentials="user:pw@")
    login_at(server.url.replace("//", "//user:pw@"))
    with requests.Session() as session:
        if settings is not None:
            quorvex.configure(timeout=5, **({"session": session} if settings else {}))
        assert login() == "t"
        if settings is not None:
            assert pricebars()["Close"].tolist() == [1]
    assert "authorization" not in server.received[0].headers
    assert [r.headers.get("authorization") for r in server.received[1:]] == ([] if settings is None else ["Bearer t"])


def test_credentials_in_the_address_warn_once_without_configure(serve, monkeypatch):
    """Without configure the data request is a plain requests.get of the address as it
    stands, basic auth included: that is said once, with the password masked."""
    server = serve(recording_service(), credentials="user:pw@")
    address = server.url.replace("//", "//user:pw@")
    monkeypatch.setattr(config, "base_url", address)
    monkeypatch.setattr(config, "_warned", set())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(2):
            pricebars()
        quorvex.configure(timeout=5)
        pricebars()
    assert [w.category for w in caught] == [remote.AddressCredentialsWarning]
    assert issubclass(remote.AddressCredentialsWarning, remote.InsecureCredentialsWarning)
    message = str(caught[0].message)
    assert "user:***@127.0.0.1" in message and ":pw@" not in message
    assert caught[0].filename == __file__  # it points at the caller's line
    sent = [r.headers["authorization"] for r in server.received]
    assert sent[0].startswith("Basic ") and sent[2] == f"Bearer {TOKEN}"


def test_secrets_sent_in_clear_text_warn_once_at_the_callers_line(login_at, monkeypatch):
    """Catches a password or token sent over http:// to another machine without a warning
    (configured or not), a warning repeated, and one that does not name the host or point
    at the caller's line. This machine's own addresses never warn: every login and data
    call of the suite would fail on it. A proxy on 127.0.0.1 stands for the network."""
    import quorvex.process_stock.pricebars as module

    monkeypatch.setattr(config, "_warned", set())
    for name in ("NO_PROXY", "no_proxy"):
        monkeypatch.delenv(name, raising=False)
    with recording_service() as proxy:
        monkeypatch.setenv("HTTP_PROXY", proxy.url)
        login_at("http://svc.example:8080")
        monkeypatch.setattr(module, "base_url", "http://svc.example:8080")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            login()
            quorvex.configure(timeout=5)
            for _ in range(2):
                login()
                pricebars()
    assert [str(w.message) for w in caught] == [
        f"the {secret} is sent in clear text over http:// to svc.example, which is not this machine; "
        "use an https:// address for the service"
        for secret in ("password", "token")
    ]
    assert [w.category for w in caught] == [remote.InsecureCredentialsWarning] * 2
    assert issubclass(remote.InsecureCredentialsWarning, UserWarning)
    assert all(os.path.samefile(w.filename, __file__) for w in caught)
    assert [r.target for r in proxy.received][:2] == ["http://svc.example:8080/api/auth/login"] * 2


# --- Ctrl-C ---

INTERRUPTED_CHILD = """
import sys, time
import quorvex
from quorvex.process_client.login import Client
quorvex.set_base_url(sys.argv[1])  # configured: the bulk path, its calls on one thread
Client.token = "t"
if sys.argv[2] == "configured":
    quorvex.configure(timeout=30)
print("ready", flush=True)
try:
    quorvex.download("pricebars", ["T%d" % n for n in range(40)], "2024-01-01", "2024-01-31", workers=8, progress=False)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@contextlib.contextmanager
def sigint_for_children():
    """Children started inside get SIGINT with its default action. A suite run from a
    background job of a script (or under nohup) has it ignored, and a child inherits
    that: Python then never raises KeyboardInterrupt in it."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT")
@pytest.mark.parametrize("mode", ["configured", "default"])
def test_ctrl_c_stops_download_at_once(mode):
    with (
        silent() as server,
        sigint_for_children(),
        subprocess.Popen(
            [sys.executable, "-c", INTERRUPTED_CHILD, server.url, mode],
            env={**os.environ, "PYTHONPATH": PACKAGE_ROOT},
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            cwd=tempfile.gettempdir(),
        ) as child,
    ):
        try:
            assert child.stdout.readline() == "ready\n"
            waited = time.monotonic() + 30
            while len(server.received) < 8 and time.monotonic() < waited:
                time.sleep(0.05)
            assert len(server.received) == 8  # every worker is waiting for an answer
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            line = child.stdout.readline()
            interrupted = time.monotonic() - sent
            child.wait(5)
            ended = time.monotonic() - sent
            errors = child.stderr.read()
        finally:
            child.kill()
    assert line == "interrupted\n", errors
    assert interrupted < 1 + SLACK and ended < 3 + SLACK and child.returncode == 0
    assert len(server.received) == 8  # the tickers not started were dropped


def test_configure_from_another_thread_during_a_download(serve):
    import threading

    serve(HostileServer(Answer(body=ROWS)))
    quorvex.configure(timeout=5)
    done = threading.Event()

    def reconfigure():
        while not done.is_set():
            quorvex.configure(timeout=5, retries=2)
            quorvex.configure(timeout=4)

    thread = threading.Thread(target=reconfigure, daemon=True)
    thread.start()
    try:
        tickers = [f"T{n}" for n in range(100)]
        table = quorvex.download("pricebars", tickers, FROM, TO, workers=8, progress=False)
    finally:
        done.set()
        thread.join(10)
    assert table["ticker"].tolist() == tickers
