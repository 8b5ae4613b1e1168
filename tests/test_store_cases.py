"""The history store case by case, over one harness: two services (two addresses on one
scripted server) and two callers, each answering its own closes. Every step is a call
with the store whose table must equal the one the same call gets without it, and whose
requests are exactly the days the store did not hold: holes of one day, touching and
overlapping ranges, partial coverage for another service or caller, answers out of date
order or with a date twice. Then what ``info`` counts per service and user, the re-check
window by the day in Vietnam in other zones, descriptors over 1,000 downloads, and the
space ``store clear`` gives back."""

import contextlib
import datetime
import hashlib
import json
import os
import sqlite3
import subprocess
import sys
import warnings

import pandas as pd
import pytest
from werkzeug import Response

import quorvex
from helpers import PACKAGE_ROOT, price_rows, weekdays
from quorvex import store as store_module
from quorvex.process_client.login import Client
from quorvex.process_stock.pricebars import get_pricebars
from quorvex.store import HistoryStore, recognise

pytestmark = pytest.mark.timeout(120)

# (service, token) -> the Close its rows carry.
CLOSES = {("a", "alice"): 1, ("a", "bob"): 2, ("b", "alice"): 3, ("b", "bob"): 4}


def store_command(path, *args):
    """``quorvex store ARGS`` run on the store at ``path``."""
    env = {**os.environ, "QUORVEX_STORE": str(path), "PYTHONPATH": PACKAGE_ROOT}
    command = [sys.executable, "-m", "quorvex", "store", *args]
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)


# How the service lays out an answer's rows.
SHAPES = {
    "in date order": lambda rows: rows,
    "newest first": lambda rows: rows[::-1],
    # Every Monday twice: a correction sent after the first row of that day.
    "a date twice": lambda rows: [
        twin
        for row in rows
        for twin in (
            [row, {**row, "Volume": 7}] if datetime.date.fromisoformat(row["DateTime"]).weekday() == 0 else [row]
        )
    ],
}


@pytest.fixture
def services(httpserver, monkeypatch):
    """Services "a" and "b" for tokens "alice" and "bob"; ``asked`` holds every request
    as (service, token, fromDate, toDate); ``shape`` lays out the rows."""
    state = {"asked": [], "shape": SHAPES["in date order"], "bases": {}}

    def handler_of(name):
        def handler(request):
            token = request.headers.get("Authorization", "")[len("Bearer ") :]
            first, last = request.args["fromDate"], request.args["toDate"]
            state["asked"].append((name, token, first, last))
            rows = price_rows(first, last, CLOSES[(name, token)])
            return Response(json.dumps(state["shape"](rows)), status=200, content_type="application/json")

        return handler

    for name in ("a", "b"):
        httpserver.expect_request(f"/{name}/api/stock/pricebars").respond_with_handler(handler_of(name))
        state["bases"][name] = httpserver.url_for(f"/{name}")
    return state


WHO = {token: "token " + hashlib.sha256(token.encode()).hexdigest()[:16] for token in ("alice", "bob")}


def use(services, monkeypatch, name, token):
    monkeypatch.setattr(sys.modules["quorvex.process_stock.pricebars"], "base_url", services["bases"][name])
    Client.token = token


# Each case: the steps, as (service, token, from, to, the ranges the store must ask
# that service for, or "all" for the range as called); the service's layout; and the
# ranges then kept as covered for service "a" and alice (None: not looked at).


def case(*steps, shape="in date order", covered=None):
    return shape, list(steps), covered


CASES = {
    "a one-day hole between two kept ranges is asked": case(
        ("a", "alice", "2024-01-01", "2024-01-10", "all"),
        ("a", "alice", "2024-01-12", "2024-01-20", "all"),
        ("a", "alice", "2024-01-01", "2024-01-20", [("2024-01-11", "2024-01-11")]),
        ("a", "alice", "2024-01-01", "2024-01-20", []),
        covered=[("2024-01-01", "2024-01-20")],
    ),
    "touching ranges": case(
        ("a", "alice", "2024-01-01", "2024-01-10", "all"),
        ("a", "alice", "2024-01-11", "2024-01-20", "all"),
        ("a", "alice", "2024-01-01", "2024-01-20", []),
        ("a", "alice", "2024-01-10", "2024-01-11", []),
        covered=[("2024-01-01", "2024-01-20")],
    ),
    "overlapping ranges and one inside another": case(
        ("a", "alice", "2024-01-01", "2024-01-15", "all"),
        ("a", "alice", "2024-01-10", "2024-01-25", [("2024-01-16", "2024-01-25")]),
        ("a", "alice", "2024-01-01", "2024-01-25", []),
        ("a", "alice", "2024-01-05", "2024-01-06", []),
        ("a", "alice", "2023-12-25", "2024-01-31", [("2023-12-25", "2023-12-31"), ("2024-01-26", "2024-01-31")]),
        covered=[("2023-12-25", "2024-01-31")],
    ),
    "days without rows are kept as answered": case(
        ("a", "alice", "2024-01-06", "2024-01-07", "all"),
        ("a", "alice", "2024-01-06", "2024-01-07", []),
        ("a", "alice", "2024-01-01", "2024-01-07", [("2024-01-01", "2024-01-05")]),
    ),
    "a range partly kept for another service gets none of its rows": case(
        ("a", "alice", "2024-01-01", "2024-01-31", "all"),
        ("b", "alice", "2024-01-01", "2024-01-15", "all"),
        ("b", "alice", "2024-01-01", "2024-01-31", [("2024-01-16", "2024-01-31")]),
        ("a", "alice", "2024-01-01", "2024-01-31", []),
    ),
    "a range partly kept for another caller gets none of its rows": case(
        ("a", "alice", "2024-01-01", "2024-01-31", "all"),
        ("a", "bob", "2024-01-10", "2024-01-20", "all"),
        ("a", "bob", "2024-01-01", "2024-01-31", [("2024-01-01", "2024-01-09"), ("2024-01-21", "2024-01-31")]),
        ("b", "bob", "2024-01-10", "2024-01-20", "all"),
    ),
    "an answer out of date order comes back as it came": case(
        ("a", "alice", "2024-01-01", "2024-01-31", "all"),
        ("a", "alice", "2024-01-01", "2024-01-31", []),
        ("a", "alice", "2024-01-08", "2024-01-19", []),
        shape="newest first",
    ),
    "a date twice, whole and merged": case(
        ("a", "alice", "2024-01-01", "2024-01-31", "all"),
        ("a", "alice", "2024-01-01", "2024-01-31", []),
        ("a", "alice", "2024-01-08", "2024-01-19", []),
        ("a", "alice", "2024-02-05", "2024-02-09", "all"),
        ("a", "alice", "2024-01-29", "2024-02-16", [("2024-02-01", "2024-02-04"), ("2024-02-10", "2024-02-16")]),
        shape="a date twice",
    ),
}


@pytest.mark.parametrize("case", list(CASES))
def test_each_call_asks_what_is_missing_and_gives_the_services_table(services, monkeypatch, tmp_path, case):
    """A hole of one day that is never asked leaves the table without that day; rows
    read without their service or caller put another's days in twice; an answer kept in
    date order instead of its own comes back changed."""
    shape, steps, covered = CASES[case]
    services["shape"] = SHAPES[shape]
    path = tmp_path / "h.sqlite3"
    for number, (name, token, first, last, expected) in enumerate(steps):
        use(services, monkeypatch, name, token)
        quorvex.configure(timeout=10)
        plain = get_pricebars("FPT", first, last, "D")
        quorvex.configure(timeout=10, store=path)
        del services["asked"][:]
        table = get_pricebars("FPT", first, last, "D")
        pd.testing.assert_frame_equal(table, plain, obj=f"step {number}")
        wanted = [(first, last)] if expected == "all" else expected
        assert services["asked"] == [(name, token, *piece) for piece in wanted], f"step {number}"
    if covered is not None:
        # Touching and overlapping ranges are one: two would show as two in store info.
        mine = [e for e in quorvex.remote.configured().store.info() if e["service"] == services["bases"]["a"]]
        assert [e["ranges"] for e in mine if e["user"] == WHO["alice"]] == [covered]


def test_pieces_out_of_date_order_are_merged_in_date_order(services, monkeypatch, tmp_path):
    """Rows of several answers have no one order of the service's: by date, each
    day's rows as they came."""
    services["shape"] = SHAPES["newest first"]
    use(services, monkeypatch, "a", "alice")
    quorvex.configure(timeout=10, store=tmp_path / "h.sqlite3")
    get_pricebars("FPT", "2024-01-10", "2024-01-20", "D")
    merged = get_pricebars("FPT", "2024-01-01", "2024-01-31", "D")
    assert list(merged.index.strftime("%Y-%m-%d")) == weekdays("2024-01-01", "2024-01-31")
    again = get_pricebars("FPT", "2024-01-01", "2024-01-31", "D")
    pd.testing.assert_frame_equal(again, merged)
    assert len(services["asked"]) == 3


def test_info_counts_each_service_and_user_by_its_own_rows(services, monkeypatch, tmp_path):
    """``info`` once credited one service with another's rows; ``store info`` shows whose
    rows they are, by user, and never the token."""
    path = tmp_path / "h.sqlite3"
    quorvex.configure(timeout=10, store=path)
    calls = [
        ("a", "alice", "2024-01-01", "2024-01-31"),
        ("a", "bob", "2024-01-01", "2024-01-10"),
        ("b", "alice", "2024-02-01", "2024-02-07"),
        ("b", "bob", "2024-01-01", "2024-03-31"),
        ("b", "bob", "2024-05-01", "2024-05-03"),
    ]
    for name, token, first, last in calls:
        use(services, monkeypatch, name, token)
        get_pricebars("FPT", first, last, "D")
    who = WHO
    a, b = services["bases"]["a"], services["bases"]["b"]
    expected = [
        (a, who["alice"], [("2024-01-01", "2024-01-31")], 23),
        (a, who["bob"], [("2024-01-01", "2024-01-10")], 8),
        (b, who["alice"], [("2024-02-01", "2024-02-07")], 5),
        (b, who["bob"], [("2024-01-01", "2024-03-31"), ("2024-05-01", "2024-05-03")], 65 + 3),
    ]
    got = quorvex.remote.configured().store.info()
    assert [(e["service"], e["user"], e["ranges"], e["rows"]) for e in got] == expected
    assert {(e["dataset"], e["ticker"]) for e in got} == {("pricebars", "FPT")}
    quorvex.configure()

    done = store_command(path, "info")
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()[1:]
    assert lines == [
        f"service {a}",
        f"  {who['alice']}",
        "    pricebars: 1 ticker",
        "      FPT  2024-01-01 to 2024-01-31, 23 rows",
        f"  {who['bob']}",
        "    pricebars: 1 ticker",
        "      FPT  2024-01-01 to 2024-01-10, 8 rows",
        f"service {b}",
        f"  {who['alice']}",
        "    pricebars: 1 ticker",
        "      FPT  2024-02-01 to 2024-02-07, 5 rows",
        f"  {who['bob']}",
        "    pricebars: 1 ticker",
        "      FPT  2024-01-01 to 2024-03-31 and 2024-05-01 to 2024-05-03, 68 rows",
    ]
    assert "alice" not in done.stdout.replace(who["alice"], "")


# The machine's zone, the instant (UTC), recheck_days -> the last day kept as covered:
# the day in Vietnam less recheck_days, where the machine's date or UTC's is another.
WINDOWS = [
    ("Etc/GMT-14", "2024-06-10T12:00:00", 0, "2024-06-10"),  # the machine: June 11, 02:00
    ("Etc/GMT-9", "2024-06-10T16:30:00", 0, "2024-06-10"),  # 23:30 in Vietnam; the machine: June 11
    ("Etc/GMT+12", "2024-06-10T18:00:00", 5, "2024-06-06"),  # Vietnam: June 11; the machine: June 10
    ("UTC", "2024-06-10T18:00:00", 0, "2024-06-11"),
    ("UTC", "2024-06-10T16:59:59", 0, "2024-06-10"),  # the last second of June 10 in Vietnam
    ("UTC", "2024-06-10T17:00:00", 0, "2024-06-11"),  # and the first of June 11
]
WINDOW_CHILD = """
import datetime, json, sys
from quorvex import store
path, instant, recheck = sys.argv[1], sys.argv[2], int(sys.argv[3])
store._clock = datetime.datetime.fromisoformat(instant).replace(tzinfo=datetime.timezone.utc).timestamp
kept = store.HistoryStore(path, recheck_days=recheck)
ask = store.recognise(
    "http://127.0.0.1:9/api/stock/pricebars",
    {"ticker": "FPT", "fromDate": "2024-06-01", "toDate": "2024-06-30"},
    {"Authorization": "Bearer t"},
)
assert kept.save(ask, ask.first, ask.last, [])
plan = kept.plan(ask)
print(json.dumps([kept.info()[0]["ranges"], [[a.isoformat(), b.isoformat()] for a, b in plan.pieces]]))
"""


@pytest.mark.parametrize("zone, instant, recheck, last", WINDOWS)
def test_the_recheck_window_counts_from_the_day_in_vietnam(tmp_path, zone, instant, recheck, last):
    """Counted from the machine's date (or UTC's), a day not yet begun in Vietnam was
    kept as covered and never asked again, or the window lost a day."""
    command = [sys.executable, "-c", WINDOW_CHILD, str(tmp_path / "h.sqlite3"), instant, str(recheck)]
    env = {"TZ": zone, "PATH": "/usr/bin:/bin", "PYTHONPATH": PACKAGE_ROOT}
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    ranges, pieces = json.loads(done.stdout)
    after = (datetime.date.fromisoformat(last) + datetime.timedelta(days=1)).isoformat()
    assert (ranges, pieces) == ([["2024-06-01", last]], [[after, "2024-06-30"]])


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="counts descriptors through /proc")
@pytest.mark.timeout(300)
def test_descriptors_return_to_their_baseline_over_1000_downloads(services, monkeypatch, tmp_path):
    """Each worker's connection to the store outlived its thread: 60 downloads took the
    process from 29 to over 300 descriptors, and a limit of 1,024 ran out in a few
    hundred calls."""
    use(services, monkeypatch, "a", "alice")
    quorvex.configure(timeout=10, store=tmp_path / "h.sqlite3", recheck_days=2)
    # Up to today: the re-check window is asked on every call, so each one talks to the
    # service and to the store from its workers.
    first, last = (store_module.today() - datetime.timedelta(days=20)).isoformat(), store_module.today().isoformat()
    tickers = ["FPT", "VNM", "HPG"]
    for _ in range(3):
        quorvex.download("pricebars", tickers, first, last, workers=8, progress=False)
    baseline = open_descriptors()
    counts = []
    for call in range(1000):
        table = quorvex.download("pricebars", tickers, first, last, workers=8, progress=False)
        if call % 100 == 99:
            assert set(table["ticker"]) == set(tickers)
            counts.append(open_descriptors())
    assert max(counts) <= baseline + 4, (baseline, counts)
    assert len(services["asked"]) > 3000


def test_clear_gives_the_space_back(tmp_path):
    """Clearing left the file at its size: 10 MB after forgetting everything."""
    path = tmp_path / "h.sqlite3"
    kept = HistoryStore(path)
    body = json.dumps({"DateTime": "", "note": "x" * 400})
    for number in range(40):
        query = {"ticker": f"T{number:02d}", "fromDate": "2020-01-01", "toDate": "2020-12-31"}
        ask = recognise("http://127.0.0.1:9/api/stock/pricebars", query, {"Authorization": "Bearer t"})
        days = [(ask.first + datetime.timedelta(days=n)).isoformat() for n in range(366)]
        assert kept.save(ask, ask.first, ask.last, [(day, body) for day in days])
    kept.close()

    def size():
        return sum(os.path.getsize(f"{path}{suffix}") for suffix in ("", "-wal") if os.path.exists(f"{path}{suffix}"))

    full = size()
    assert full > 5_000_000
    done = store_command(path, "clear")
    assert done.returncode == 0 and done.stdout.startswith(f"emptied the history store {path} (14640 rows)"), done
    assert size() < full / 20, (full, size())


def test_a_file_of_the_previous_layout_keeps_its_rows(services, monkeypatch, tmp_path):
    """The previous layout did not note each row's answer: its rows are read in date
    order, and the file is brought to the new layout without a warning or a request."""
    path = tmp_path / "h.sqlite3"
    use(services, monkeypatch, "a", "alice")
    quorvex.configure(timeout=10, store=path)
    fresh = get_pricebars("FPT", "2024-01-01", "2024-01-31", "D")
    quorvex.configure()
    with contextlib.closing(sqlite3.connect(path)) as db, db:
        # The previous layout exactly: the row table without the answer column.
        db.execute(
            "CREATE TABLE old (service TEXT NOT NULL, identity TEXT NOT NULL, dataset TEXT NOT NULL,"
            " ticker TEXT NOT NULL, day TEXT NOT NULL, seq INTEGER NOT NULL, body TEXT NOT NULL, crc INTEGER NOT NULL,"
            " PRIMARY KEY (service, identity, dataset, ticker, day, seq)) WITHOUT ROWID"
        )
        db.execute("INSERT INTO old SELECT service, identity, dataset, ticker, day, seq, body, crc FROM rows")
        db.execute("DROP TABLE rows")
        db.execute("ALTER TABLE old RENAME TO rows")
        db.execute("UPDATE meta SET value = '2' WHERE key = 'schema'")
        db.execute("DELETE FROM meta WHERE key = 'answers'")
    quorvex.configure(timeout=10, store=path)
    del services["asked"][:]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        pd.testing.assert_frame_equal(get_pricebars("FPT", "2024-01-01", "2024-01-31", "D"), fresh)
        pd.testing.assert_frame_equal(
            get_pricebars("FPT", "2024-01-08", "2024-01-12", "D"), fresh.loc["2024-01-08":"2024-01-12"]
        )
    assert services["asked"] == []
    assert sorted(p.name for p in tmp_path.iterdir() if "layout" in p.name) == []
