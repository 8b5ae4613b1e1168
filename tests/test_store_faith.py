"""The store answers a call only from rows kept for the same caller, never makes a call
fail that succeeds without it, and finds a kept row that no longer reads back. Against
a scripted price-bar service on 127.0.0.1 that answers each token differently. (The day
in Vietnam in other zones: tests/test_store_cases.py.)"""

import contextlib
import json
import sqlite3
import sys
import warnings

import pandas as pd
import pytest
from werkzeug import Response

import quorvex
from helpers import price_rows
from quorvex.process_client.login import Client
from quorvex.process_stock.pricebars import get_pricebars
from quorvex.store import StoreWarning

pytestmark = pytest.mark.timeout(60)

# Token -> the Close its owner sees; PRO is refused to bob.
CLOSES = {"alice-token": 1, "bob-token": 2, None: 3}


# The service has rows for these days only, so that a range from the calendar's first
# day to its last stays small.
HISTORY = ("2023-12-01", "2024-02-29")


@pytest.fixture
def service(httpserver, monkeypatch):
    """Every request as (token, ticker, fromDate, toDate) in ``asked``; ``extra`` adds
    cells to every row."""
    state = {"asked": [], "extra": None}

    def handler(request):
        auth = request.headers.get("Authorization", "")
        token = auth[len("Bearer ") :] if auth.startswith("Bearer ") else None
        args = request.args
        state["asked"].append((token, args["ticker"], args["fromDate"], args["toDate"]))
        if args["ticker"] == "PRO" and token == "bob-token":
            return Response('{"error": "forbidden"}', status=403, content_type="application/json")
        first, last = max(args["fromDate"], HISTORY[0]), min(args["toDate"], HISTORY[1])
        body = price_rows(first, last, CLOSES.get(token, 9), state["extra"])
        return Response(json.dumps(body), status=200, content_type="application/json")

    httpserver.expect_request("/api/stock/pricebars").respond_with_handler(handler)
    monkeypatch.setattr(sys.modules["quorvex.process_stock.pricebars"], "base_url", httpserver.url_for("").rstrip("/"))
    return state


def test_each_caller_gets_its_own_rows_and_refusals(service, tmp_path):
    """A store keyed by address alone served alice's rows to bob, served bob a ticker the
    service refuses him, and answered a call with no login at all."""
    quorvex.configure(timeout=10, store=tmp_path / "h.sqlite3")
    steps = [
        # (token, ticker, the Close expected or the status refused, asked the service)
        ("alice-token", "FPT", 1, True),
        ("alice-token", "PRO", 1, True),
        ("alice-token", "FPT", 1, False),
        ("bob-token", "FPT", 2, True),
        ("bob-token", "PRO", 403, True),
        ("bob-token", "PRO", 403, True),
        (None, "FPT", 3, True),
        (None, "FPT", 3, True),
        ("alice-token", "PRO", 1, False),
    ]
    for token, ticker, expected, sent in steps:
        Client.token = token
        before = len(service["asked"])
        if expected == 403:
            with pytest.raises(ValueError, match="403"):
                get_pricebars(ticker, "2024-01-01", "2024-01-31", "D")
        else:
            table = get_pricebars(ticker, "2024-01-01", "2024-01-31", "D")
            assert set(table["Close"]) == {expected}, (token, ticker)
        assert (len(service["asked"]) > before) == sent, (token, ticker)


@pytest.mark.parametrize(
    "settings, first, last, extra",
    [
        ({}, "0001-01-01", "2024-01-31", None),
        ({}, "2024-01-01", "9999-12-31", None),
        ({"recheck_days": 10**6}, "2024-01-01", "2024-01-31", None),
        ({}, "2024-01-01", "2024-01-31", {"note": "\ud83d"}),
    ],
    ids=["first-day-of-the-calendar", "last-day-of-the-calendar", "huge-recheck", "lone-surrogate"],
)
def test_the_store_never_fails_a_call_that_succeeds_without_it(service, tmp_path, settings, first, last, extra):
    """Each of these raised (OverflowError, UnicodeEncodeError) with the store and
    succeeded without it."""
    service["extra"] = extra
    Client.token = "alice-token"
    quorvex.configure(timeout=10)
    plain = get_pricebars("FPT", first, last, "D")
    quorvex.configure(timeout=10, store=tmp_path / "h.sqlite3", **settings)
    with warnings.catch_warnings():
        warnings.simplefilter("error", StoreWarning)
        for _ in range(2):  # the first call keeps, the second reads what was kept
            pd.testing.assert_frame_equal(get_pricebars("FPT", first, last, "D"), plain)


@pytest.mark.parametrize(
    "damage",
    ["substr(body, 1, 5) || '#' || substr(body, 7)", "CAST(body AS BLOB)"],
    ids=["a byte changed", "no longer text"],
)
def test_a_damaged_row_warns_once_and_is_asked_again(service, tmp_path, damage):
    """One byte changed inside a kept row passed SQLite's own checks and failed the call
    with a JSONDecodeError; the warning names the day of the damaged row."""
    path = tmp_path / "h.sqlite3"
    Client.token = "alice-token"
    quorvex.configure(timeout=10, store=path)
    fresh = get_pricebars("FPT", "2024-01-01", "2024-01-31", "D")
    quorvex.configure()
    with contextlib.closing(sqlite3.connect(path)) as db, db:
        db.execute(f"UPDATE rows SET body = {damage} WHERE day = '2024-01-17'")
    quorvex.configure(timeout=10, store=path)
    before = len(service["asked"])
    with pytest.warns(StoreWarning, match="pricebars FPT of 2024-01-17"):
        again = get_pricebars("FPT", "2024-01-01", "2024-01-31", "D")
    pd.testing.assert_frame_equal(again, fresh)
    assert service["asked"][before:] == [("alice-token", "FPT", "2024-01-01", "2024-01-31")]
    with warnings.catch_warnings():
        warnings.simplefilter("error", StoreWarning)
        pd.testing.assert_frame_equal(get_pricebars("FPT", "2024-01-01", "2024-01-31", "D"), fresh)


OTHER_UID = 65534  # nobody


@pytest.mark.parametrize(
    "plant, says",
    [
        ("a file of another user, open to all", "belongs to another user"),
        ("a file of mine others may write", "can be written by other users"),
        ("a link another user made, to nowhere yet", "is a link made by another user"),
        ("a folder others may write", "can be written by other users"),
    ],
)
def test_a_store_others_control_is_not_used(service, tmp_path, plant, says):
    import os

    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o755)  # the planted file stands in a folder the check itself lets by
    path, target = shared / "history.sqlite3", tmp_path / "theirs.sqlite3"
    needs_root = "another user" in plant
    if needs_root and os.geteuid() != 0:
        pytest.skip("planting a file as another user needs root")
    if "file" in plant:
        # A store holding their rows for alice's ticker, made as a store is made.
        quorvex.configure(store=path)
        Client.token = "alice-token"
        service["extra"] = None
        get_pricebars("FPT", "2024-01-01", "2024-01-31", "D")
        quorvex.configure()
        with contextlib.closing(sqlite3.connect(path)) as connection, connection:
            connection.execute("UPDATE rows SET body = replace(body, '\"Close\": 1', '\"Close\": 27588')")
        path.chmod(0o666)
        if needs_root:
            os.chown(path, OTHER_UID, OTHER_UID)
    elif "link" in plant:
        path.symlink_to(target)
        os.lchown(path, OTHER_UID, OTHER_UID)
    else:
        shared.chmod(0o777)
    asked = len(service["asked"])
    Client.token = "alice-token"
    with pytest.warns(StoreWarning, match=says):
        quorvex.configure(store=path)
        table = get_pricebars("FPT", "2024-01-01", "2024-01-31", "D")
    assert set(table["Close"]) == {1} and len(service["asked"]) == asked + 1
    assert not target.exists()
