"""Foreign-investor flows: daily rows scaled by the unit, and regrouped periods
with the last close, summed flows and the values scaled after summing."""

import math

import pytest

from helpers import SERIES_PANDAS_WARNINGS, series_check, series_line, series_periods, series_rows
from quorvex.process_stock.foreign import get_foreign

pytestmark = [pytest.mark.filterwarnings(rule) for rule in SERIES_PANDAS_WARNINGS]

PATH = "/api/stock/foreign"
RULES = ["W", "MS", pytest.param("d", marks=pytest.mark.filterwarnings("ignore:'d' is deprecated"))]
VOLUMES = ["buyForeignVolume", "sellForeignVolume"]
VALUES = ["buyForeignValue", "sellForeignValue", "netForeignValue"]
UNIT = 1000


def flows():
    """Daily flows as the service sends them, "Close" last and a note beyond."""
    rows = series_rows(
        "foreign",
        buyForeignVolume=(10**4, 10**6),
        sellForeignVolume=(10**4, 10**6),
        buyForeignValue=(10**6, 10**9),
        sellForeignValue=(10**6, 10**9),
        Close=(90_000, 110_000),
    )
    for row in rows:
        row["netForeignValue"] = row["buyForeignValue"] - row["sellForeignValue"]
        row["Close"] = row.pop("Close")
        row["note"] = "n" + row["DateTime"]
    return rows


def get(httpserver, rows, ticker="FPT", period="D", unit=UNIT):
    httpserver.expect_request(PATH).respond_with_json(rows)
    return get_foreign(ticker, "2024-01-22", "2024-02-23", period, unit)


def test_daily_flows_scaled_in_place(httpserver):
    rows = flows()
    table = get(httpserver, rows)
    columns = {name: [row[name] for row in rows] for name in rows[0] if name != "DateTime"}
    for name in VALUES:
        columns[name] = [value / UNIT for value in columns[name]]
    series_check(table, [row["DateTime"] for row in rows], columns)


@pytest.mark.parametrize("rule", RULES)
def test_regrouped_flows(httpserver, rule):
    rows = flows()
    periods = series_periods(rows, rule)
    expected = {"ticker": [7] * len(periods)}
    # A period without rows keeps its place: no close, flows of 0.
    expected["Close"] = [days[-1]["Close"] if days else math.nan for _, days in periods]
    for name in VOLUMES:
        expected[name] = [sum(day[name] for day in days) for _, days in periods]
    for name in VALUES:
        expected[name] = [sum(day[name] for day in days) / UNIT for _, days in periods]
    # Scaling each day before summing would give other floats somewhere
    # (a day is a period of its own under "d").
    assert rule == "d" or any(
        sum(day[name] / UNIT for day in days) != sum(day[name] for day in days) / UNIT
        for _, days in periods
        for name in VALUES
    )
    table = get(httpserver, rows, ticker=7, period=rule)
    series_check(table, [label for label, _ in periods], expected)
    assert {type(ticker) for ticker in table["ticker"].tolist()} == {int}
    assert httpserver.log[0][0].query_string.startswith(b"ticker=7&")


@pytest.mark.parametrize(
    "missing, period, line",
    [
        ("Close", "D", None),
        ("buyForeignVolume", "D", None),
        ("Close", "W", 26),
        ("sellForeignVolume", "W", 26),
        ("netForeignValue", "W", 26),
        ("buyForeignValue", "D", 36),
        ("netForeignValue", "D", 36),
    ],
)
def test_missing_column(httpserver, missing, period, line):
    rows = [{name: value for name, value in row.items() if name != missing} for row in flows()]
    if line is None:
        table = get(httpserver, rows, period=period)
        assert list(table.columns) == [name for name in rows[0] if name != "DateTime"]
        assert len(table) == len(rows)
        return
    with pytest.raises(KeyError) as excinfo:
        get(httpserver, rows, period=period)
    assert missing in str(excinfo.value)
    assert series_line(excinfo.value, "foreign", "get_foreign") == line
