"""The test harness itself: the default service address and the leak check."""

import ctypes

import pandas as pd
import pytest
import requests

from helpers import LeakCheck
from helpers import assert_no_leaks as plain_leak_check

BARS = [
    {"DateTime": f"2024-01-{day:02d}", "Open": 10, "High": 12, "Low": 9, "Close": 11, "Volume": 100}
    for day in range(1, 20)
]


def test_package_talks_to_the_scripted_server_by_default(httpserver):
    from quorvex.config import config

    assert config.base_url + "/" == httpserver.url_for("/")


def weekly_bars(base_url, ticker):
    """What a data function does, written in Python: fetch, tabulate, regroup."""
    response = requests.get(
        url=base_url + "/api/stock/pricebars",
        headers={"Accept": "application/json"},
        params={"ticker": ticker, "fromDate": "2024-01-01", "toDate": "2024-01-31"},
    )
    if response.status_code != 200:
        raise ValueError(f"status:{response.status_code}\ncontent: {response.text}")
    data = pd.DataFrame(response.json())
    data["DateTime"] = pd.to_datetime(data["DateTime"])
    data.set_index("DateTime", inplace=True)
    data = data.resample("W").agg({"Close": "last", "Volume": "sum"})
    data.insert(0, "ticker", ticker)
    return data


_kept = []


def keeps_a_new_object(value):
    _kept.append(object())


def keeps_its_argument(value):
    _kept.append(value)


def caches_once(value, _cache={}):
    _cache.setdefault("only", [value] * 100)


# C-level faults through ctypes: a reference taken and never given back, and a
# new object whose only reference is dropped on the floor.
_incref = ctypes.pythonapi.Py_IncRef
_incref.argtypes = [ctypes.py_object]
_incref.restype = None
_new_bytes = ctypes.pythonapi.PyBytes_FromStringAndSize
_new_bytes.argtypes = [ctypes.c_char_p, ctypes.c_ssize_t]
_new_bytes.restype = ctypes.c_void_p


def leaks_a_c_reference(value):
    _incref(value)


def leaks_a_c_object(value):
    _new_bytes(None, 64)


@pytest.mark.parametrize(
    "fn, complaint",
    [
        (keeps_a_new_object, "allocated blocks grew"),
        (keeps_its_argument, "refcount of argument"),
        (leaks_a_c_reference, "refcount of argument"),
        (leaks_a_c_object, "allocated blocks grew"),
    ],
)
def test_leaks_are_reported(fn, complaint):
    check = LeakCheck(calls=40, max_rounds=6, warmup=2)
    with pytest.raises(AssertionError, match=complaint):
        check(fn, ["fresh", "list"])
    _kept.clear()


@pytest.mark.parametrize("fn", [caches_once, len, str.upper])
def test_sound_functions_pass(fn):
    plain_leak_check(fn, "some text, not interned")


def test_requests_and_pandas_in_the_loop_pass(httpserver, assert_no_leaks):
    httpserver.expect_request("/api/stock/pricebars").respond_with_json(BARS)
    assert_no_leaks(weekly_bars, httpserver.url_for("").rstrip("/"), ticker="FPT")


def test_expected_exception_is_required(httpserver, assert_no_leaks):
    httpserver.expect_request("/api/stock/pricebars").respond_with_json({"error": "x"}, 404)
    base_url = httpserver.url_for("").rstrip("/")
    assert_no_leaks(weekly_bars, base_url, "FPT", expect=ValueError)
    with pytest.raises(AssertionError, match="did not raise KeyError"):
        assert_no_leaks(len, "abc", expect=KeyError)


def test_unchecked_server_log_looks_like_a_leak(httpserver):
    # Why the fixture empties the request log: the server keeps every exchange.
    httpserver.expect_request("/api/stock/pricebars").respond_with_json(BARS)
    with pytest.raises(AssertionError, match="allocated blocks grew"):
        LeakCheck(max_rounds=6)(weekly_bars, httpserver.url_for("").rstrip("/"), "FPT")
