"""Price bars: the daily bars as served, and bars regrouped into longer periods."""

import math

import pytest

from helpers import SERIES_PANDAS_WARNINGS, series_check, series_line, series_periods, series_rows
from quorvex.process_stock.pricebars import get_pricebars

pytestmark = [pytest.mark.filterwarnings(rule) for rule in SERIES_PANDAS_WARNINGS]

PATH = "/api/stock/pricebars"
NAN = math.nan
# Lower-case "d" is a pandas rule of one calendar day, not the "D" of the
# rows as served; pandas 3.1 deprecates the spelling.
RULES = ["W", "MS", pytest.param("d", marks=pytest.mark.filterwarnings("ignore:'d' is deprecated"))]


def bars():
    """Daily bars with one column beyond the five."""
    rows = series_rows(
        "bars", Open=(90, 110), High=(110, 130), Low=(70, 90), Close=(90, 110), Volume=(10**5, 10**7), Value=(1, 9)
    )
    for row in rows:
        row["Value"] /= 4
    return rows


def get(httpserver, rows, ticker="FPT", period="D"):
    httpserver.expect_request(PATH).respond_with_json(rows)
    return get_pricebars(ticker, "2024-01-22", "2024-02-23", period)


def test_daily_bars_as_served(httpserver):
    # Served newest first, with "DateTime" after the prices: both are kept.
    rows = [{**{k: v for k, v in row.items() if k != "DateTime"}, "DateTime": row["DateTime"]} for row in bars()][::-1]
    table = get(httpserver, rows)
    columns = ["Open", "High", "Low", "Close", "Volume", "Value"]
    series_check(table, [row["DateTime"] for row in rows], {name: [row[name] for row in rows] for name in columns})


@pytest.mark.parametrize("rule", RULES)
def test_regrouped_bars(httpserver, rule):
    rows = bars()
    periods = series_periods(rows, rule)
    # A period without rows has no prices and no volume.
    expected = {
        "ticker": ["fpt"] * len(periods),
        "Open": [days[0]["Open"] if days else NAN for _, days in periods],
        "High": [max(day["High"] for day in days) if days else NAN for _, days in periods],
        "Low": [min(day["Low"] for day in days) if days else NAN for _, days in periods],
        "Close": [days[-1]["Close"] if days else NAN for _, days in periods],
        "Volume": [sum(day["Volume"] for day in days) for _, days in periods],
    }
    table = get(httpserver, rows, ticker="fpt", period=rule)
    series_check(table, [label for label, _ in periods], expected)


@pytest.mark.parametrize("period", ["D", "W"])
def test_bars_with_only_a_close(httpserver, period):
    rows = [{"DateTime": row["DateTime"], "Close": row["Close"]} for row in bars()]
    if period == "D":
        table = get(httpserver, rows)
        series_check(table, [row["DateTime"] for row in rows], {"Close": [row["Close"] for row in rows]})
        return
    with pytest.raises(KeyError) as excinfo:
        get(httpserver, rows, period=period)
    assert all(name in str(excinfo.value) for name in ("Open", "High", "Low", "Volume"))
    assert series_line(excinfo.value, "pricebars", "get_pricebars") == 28
