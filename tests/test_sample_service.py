"""The sample service the tests run against: its refusals, rows and seeded failures."""

import datetime as dt
import os
import subprocess
import sys
import time

import pytest
import requests

from quorvex.datasets import DATASETS

DAILY = [d.endpoint for d in DATASETS.values() if d.is_series]
DATES = ["Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"]


def fetch(base, path, fromDate="2024-01-01", toDate="2024-01-31", headers=None, session=requests, ticker="FPT"):
    if headers is None:  # log in for a new token
        login = requests.post(base + "/api/auth/login", json={"username": "demo", "password": "demo"})
        headers = {"Authorization": f"Bearer {login.json()['token']}"}
    return session.get(base + path, params={"ticker": ticker, "fromDate": fromDate, "toDate": toDate}, headers=headers)


@pytest.mark.parametrize("path", [d.endpoint for d in DATASETS.values()])
def test_refusals_and_empty_ranges(sample_service, path):
    for headers in [{}, {"Authorization": "Bearer not-issued"}, {"Authorization": "Basic ZGVtbzpkZW1v"}]:
        assert fetch(sample_service, path, headers=headers).status_code == 401
    for dates in [("2024-13-01", "2024-01-31"), ("20240101", "2024-01-31"), ("2024-01-01", None)]:
        assert fetch(sample_service, path, *dates).status_code == 400
    # A weekend, and a reversed range.
    for dates in [("2024-01-06", "2024-01-07"), ("2024-03-01", "2024-02-01")]:
        assert fetch(sample_service, path, *dates).json() == []


@pytest.mark.parametrize("path", DAILY)
def test_daily_rows_cover_each_trading_day_once(sample_service, path):
    weekdays = [f"2024-01-{day:02d}" for day in range(1, 32) if (day - 1) % 7 < 5]  # from Monday 1st
    assert [row["DateTime"] for row in fetch(sample_service, path).json()] == weekdays


def test_rows_are_deterministic(sample_service, sample_service_module):
    whole = fetch(sample_service, DAILY[1], "2024-01-01", "2024-06-30").json()
    # Another process, with other str hashes, makes the same history.
    script = (
        "import datetime as d; from sample_service.data import ENDPOINTS as E; "
        f"print(E['{DAILY[1]}']('FPT', d.date(2024, 1, 1), d.date(2024, 6, 30)))"
    )
    root = os.path.dirname(os.path.dirname(sample_service_module.__file__))
    env = {**os.environ, "PYTHONHASHSEED": "12345"}
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, check=True, cwd=root, env=env)
    assert out.stdout.decode().strip() == repr(whole)


def test_dividend_events_mark_unknown_values_with_a_dash(sample_service):
    rows = fetch(sample_service, "/api/stock/diviend", "2020-01-01", "2024-12-31").json()
    assert len(rows) >= 5 and all(list(row)[-3:] == DATES for row in rows)
    assert all(row[name] == "-" or dt.date.fromisoformat(row[name]) for row in rows for name in DATES)
    assert "-" in [r[DATES[2]] for r in rows] and "-" in [r[k] for r in rows for k in r if k not in DATES]


def statuses(server, count, ticker="FPT"):
    token = server.issue_token()
    with requests.Session() as session:  # one kept-alive connection for them all
        headers = {"Authorization": f"Bearer {token}"}
        answers = [
            fetch(server.base_url, DAILY[0], headers=headers, session=session, ticker=ticker) for _ in range(count)
        ]
        return [answer.status_code for answer in answers]


@pytest.mark.timeout(60)
def test_remote_stand_in(sample_service_module):
    """Seeded failures, latency, kept-alive connections and load-test tickers."""
    make = sample_service_module.make_server
    runs = []
    for seed in (7, 7, 8):
        with make(port=0, fail_rate=0.5, seed=seed) as server:
            runs.append(statuses(server, 20))
            assert server.connections == 1 and server.requests == 20
    assert runs[0] == runs[1] != runs[2] and set(runs[0]) == {200, 503}
    with make(port=0, latency_ms=150, extra_tickers=5) as server:
        started = time.monotonic()
        assert statuses(server, 2, ticker="x005") == [200, 200]
        assert time.monotonic() - started >= 0.3
        assert statuses(server, 1, ticker="X006") == [404]
    with make(port=0, extra_tickers=5) as server:
        token = {"Authorization": f"Bearer {server.issue_token()}"}
        alias = "FPT"  # X001 to X004 serve FPT, HPG, VCB, VNM; X005 starts again
        rows = [fetch(server.base_url, DAILY[1], headers=token, ticker=ticker).json() for ticker in ("X005", alias)]
        assert rows[0] == rows[1]
