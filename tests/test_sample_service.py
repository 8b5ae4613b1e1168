"""The sample service and the login client that talks to it."""

import datetime as dt
import json
import os
import pathlib
import re
import subprocess
import sys
import unicodedata

import pytest
import requests

from quorvex.config import config
from quorvex.process_client.login import Client

DAILY = {
    "/api/stock/pricebars": ["DateTime", "Open", "High", "Low", "Close", "Volume"],
    "/api/stock/foreign": [
        "DateTime",
        "buyForeignVolume",
        "sellForeignVolume",
        "buyForeignValue",
        "sellForeignValue",
        "netForeignValue",
        "Close",
    ],
    "/api/stock/dealerDesk": ["DateTime", "dealerDeskNetValue"],
    "/api/stock/sAndD": ["DateTime", "buyCount", "buyVolume", "sellCount", "sellVolume"],
}
DIVIDEND = "/api/stock/diviend"
ENDPOINTS = [*DAILY, DIVIDEND]
DATE_COLUMNS = ["Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"]
MATCH_FIGURES = DAILY["/api/stock/sAndD"][1:]


@pytest.fixture(scope="module")
def token(sample_service):
    answer = requests.post(
        f"{sample_service}/api/auth/login", json={"username": "demo", "password": "demo"}
    )
    assert answer.status_code == 200
    return answer.json()["token"]


@pytest.fixture(scope="module")
def fetch(sample_service, token):
    """GET an endpoint with a valid token; return the response."""

    def fetch(path, ticker="FPT", fromDate="2024-01-01", toDate="2024-03-31"):
        return requests.get(
            sample_service + path,
            params={"ticker": ticker, "fromDate": fromDate, "toDate": toDate},
            headers={"Authorization": f"Bearer {token}"},
        )

    return fetch


def assert_json_error(response, status):
    assert response.status_code == status
    assert response.headers["Content-Type"] == "application/json; charset=utf-8"
    assert isinstance(response.json()["error"], str)


# --- refusals -------------------------------------------------------------


@pytest.mark.parametrize("path", ENDPOINTS)
@pytest.mark.parametrize(
    "authorization", [None, "Bearer", "Bearer not-issued", "Basic ZGVtbzpkZW1v"]
)
def test_data_needs_an_issued_bearer_token(sample_service, path, authorization):
    headers = {} if authorization is None else {"Authorization": authorization}
    response = requests.get(
        sample_service + path,
        params={"ticker": "FPT", "fromDate": "2024-01-01", "toDate": "2024-01-31"},
        headers=headers,
    )
    assert_json_error(response, 401)


@pytest.mark.parametrize(
    "body, status",
    [
        ({"username": "demo", "password": "wrong"}, 401),
        ({"username": "nobody", "password": "demo"}, 401),
        ({"username": "demo"}, 400),
        (["demo", "demo"], 400),
    ],
)
def test_login_refusals(sample_service, body, status):
    response = requests.post(f"{sample_service}/api/auth/login", json=body)
    assert_json_error(response, status)


def test_login_accepts_extra_users(sample_service_module):
    with sample_service_module.make_server(port=0, users={"analyst": "s3cret"}) as server:
        url = f"{server.base_url}/api/auth/login"
        for user, password in [("analyst", "s3cret"), ("demo", "demo")]:
            answer = requests.post(url, json={"username": user, "password": password})
            assert answer.status_code == 200 and answer.json()["token"]


@pytest.mark.parametrize("path", ENDPOINTS)
@pytest.mark.parametrize(
    "dates",
    [
        {"fromDate": "2024-13-01"},
        {"fromDate": "20240101"},
        {"toDate": "2024-1-31"},
        {"toDate": "31/01/2024"},
        {"fromDate": ""},
        {"fromDate": None},
    ],
)
def test_unreadable_or_missing_dates_are_400(fetch, path, dates):
    assert_json_error(fetch(path, **dates), 400)


def test_unknown_ticker_and_path_are_404(fetch):
    assert_json_error(fetch("/api/stock/pricebars", ticker="NOPE"), 404)
    assert_json_error(fetch("/api/stock/nothing"), 404)


# --- data ---------------------------------------------------------------------


@pytest.mark.parametrize("path", ENDPOINTS)
@pytest.mark.parametrize(
    "fromDate, toDate", [("2024-01-06", "2024-01-07"), ("2024-03-01", "2024-02-01")]
)
def test_range_without_rows_is_an_empty_list(fetch, path, fromDate, toDate):
    # A weekend, and a reversed range.
    response = fetch(path, fromDate=fromDate, toDate=toDate)
    assert response.status_code == 200
    assert response.json() == []


@pytest.mark.parametrize("path, columns", DAILY.items())
def test_daily_rows_cover_each_trading_day_once(fetch, path, columns):
    rows = fetch(path, fromDate="2024-01-01", toDate="2024-01-31").json()
    assert all(list(row) == columns for row in rows)
    days = [dt.date.fromisoformat(row["DateTime"]) for row in rows]
    expected = [dt.date(2024, 1, d) for d in range(1, 32) if dt.date(2024, 1, d).weekday() < 5]
    assert days == expected
    assert all(isinstance(row[name], int) for row in rows for name in columns[1:])


def test_daily_figures_are_consistent(fetch):
    bars = fetch("/api/stock/pricebars", fromDate="2023-01-01", toDate="2024-12-31").json()
    for bar in bars:
        body = sorted([bar["Open"], bar["Close"]])
        assert bar["Low"] <= body[0] <= body[1] <= bar["High"]
        assert 10**5 <= bar["Volume"] < 10**7
    flows = fetch("/api/stock/foreign", fromDate="2023-01-01", toDate="2024-12-31").json()
    assert [f["Close"] for f in flows] == [b["Close"] for b in bars]
    for flow in flows:
        assert flow["netForeignValue"] == flow["buyForeignValue"] - flow["sellForeignValue"]
    dealer = [r["dealerDeskNetValue"] for r in fetch("/api/stock/dealerDesk").json()]
    assert min(dealer) < 0 < max(dealer)


def test_match_book_has_weeks_of_zeros(fetch):
    # The demo's range must show the weekly regroup dropping an all-zero week.
    weeks = {}
    for row in fetch("/api/stock/sAndD").json():
        week = dt.date.fromisoformat(row["DateTime"]).isocalendar()[:2]
        weeks.setdefault(week, []).append(all(row[f] == 0 for f in MATCH_FIGURES))
    assert any(all(zeros) for zeros in weeks.values())
    assert not all(any(zeros) for zeros in weeks.values())


def test_rows_are_deterministic(fetch, sample_service_module):
    whole = fetch("/api/stock/foreign", fromDate="2024-01-01", toDate="2024-06-30").json()
    assert fetch("/api/stock/foreign", fromDate="2024-01-01", toDate="2024-06-30").json() == whole
    part = fetch("/api/stock/foreign", fromDate="2024-02-01", toDate="2024-02-29").json()
    assert part == [row for row in whole if row["DateTime"].startswith("2024-02")]
    # Another process with other str hashes makes the same history.
    script = (
        "import datetime as dt, json, sys; from sample_service import data; "
        "rows = data.ENDPOINTS['/api/stock/foreign']"
        "('FPT', dt.date(2024, 1, 1), dt.date(2024, 6, 30)); "
        "sys.stdout.write(json.dumps(rows))"
    )
    root = str(pathlib.Path(sample_service_module.__file__).parent.parent)
    out = subprocess.run(
        [sys.executable, "-c", script],
        cwd=root,
        env={**os.environ, "PYTHONHASHSEED": "12345", "PYTHONPATH": root},
        capture_output=True,
        check=True,
    ).stdout
    assert json.loads(out) == whole


def test_ticker_is_case_insensitive(fetch):
    lower = fetch("/api/stock/pricebars", ticker="fpt").json()
    assert lower == fetch("/api/stock/pricebars").json()


def test_dividend_events(fetch):
    response = fetch(DIVIDEND, fromDate="2020-01-01", toDate="2024-12-31")
    assert response.headers["Content-Type"] == "application/json; charset=utf-8"
    # Vietnamese text goes out as UTF-8, not as \u escapes, in NFC form.
    assert DATE_COLUMNS[0].encode("utf-8") in response.content
    assert all(unicodedata.is_normalized("NFC", name) for name in DATE_COLUMNS)
    rows = response.json()
    assert len(rows) >= 5
    for row in rows:
        assert list(row)[-3:] == DATE_COLUMNS
        assert "2020-01-01" <= row[DATE_COLUMNS[0]] <= "2024-12-31"
        for name in DATE_COLUMNS:
            assert row[name] == "-" or dt.date.fromisoformat(row[name])
    assert any(row[DATE_COLUMNS[2]] == "-" for row in rows)
    assert any(row[name] == "-" for row in rows for name in row if name not in DATE_COLUMNS)


# --- login client -------------------------------------------------------------


def test_client_login_flow(sample_service, monkeypatch):
    monkeypatch.setattr(config, "base_url", sample_service)
    assert Client.token is None
    assert Client()._get_headers() == {"Accept": "application/json"}

    with pytest.raises(ValueError, match="401") as refused:
        Client().login("demo", "wrong")
    assert "invalid username or password" in str(refused.value)
    assert Client.token is None

    token = Client().login("demo", "demo")
    assert Client.token == token and Client().token == token
    headers = Client()._get_headers()
    assert headers == {"Accept": "application/json", "Authorization": f"Bearer {token}"}
    assert Client()._get_headers() is not headers
    response = requests.get(
        sample_service + "/api/stock/dealerDesk",
        params={"ticker": "VCB", "fromDate": "2024-01-01", "toDate": "2024-01-05"},
        headers=headers,
    )
    assert response.status_code == 200 and len(response.json()) == 5

    Client().logout()
    assert Client.token is None
    assert "Authorization" not in Client()._get_headers()


def test_client_posts_credentials_to_base_url(httpserver):
    httpserver.expect_oneshot_request(
        "/api/auth/login", method="POST", json={"username": "u", "password": "p"}
    ).respond_with_json({"token": "abc"})
    assert Client().login("u", "p") == "abc"
    assert Client.token == "abc"


@pytest.mark.parametrize(
    "status, body, message",
    [
        (500, "upstream down", "Login failed with HTTP status 500: upstream down"),
        # An empty body leaves the reason phrase, spelled as the server likes.
        (403, "", "Login failed with HTTP status 403: (?i:forbidden)"),
        (200, "not json", "Login failed: the service answered status 200 without a token"),
        (200, '{"token": null}', "Login failed: the service answered status 200 without a token"),
    ],
)
def test_client_refused_login_keeps_token(httpserver, logged_in, status, body, message):
    httpserver.expect_request("/api/auth/login", method="POST").respond_with_data(body, status)
    with pytest.raises(ValueError) as refused:
        Client().login("u", "p")
    assert re.fullmatch(message, str(refused.value))
    assert Client.token == logged_in
