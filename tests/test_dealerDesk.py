"""Dealer net value: daily rows scaled by the unit, and period sums scaled
after summing, with every period of the range kept."""

import pytest

from helpers import SERIES_PANDAS_WARNINGS, series_check, series_line, series_periods, series_rows
from quorvex.process_stock.dealerDesk import get_dealerDesk

pytestmark = [pytest.mark.filterwarnings(rule) for rule in SERIES_PANDAS_WARNINGS]

PATH = "/api/stock/dealerDesk"
RULES = ["W", "MS", pytest.param("d", marks=pytest.mark.filterwarnings("ignore:'d' is deprecated"))]
UNIT = 1000


def net_values():
    """Daily net values, bought and sold, with a count beyond them."""
    return series_rows("dealer", dealerDeskNetValue=(-(10**9), 10**9), trades=(0, 50))


def get(httpserver, rows, ticker="FPT", period="D", unit=UNIT):
    httpserver.expect_request(PATH).respond_with_json(rows)
    return get_dealerDesk(ticker, "2024-01-22", "2024-02-23", period, unit)


def test_daily_net_value_scaled(httpserver):
    rows = net_values()
    table = get(httpserver, rows)
    series_check(
        table,
        [row["DateTime"] for row in rows],
        {
            "dealerDeskNetValue": [row["dealerDeskNetValue"] / UNIT for row in rows],
            "trades": [row["trades"] for row in rows],
        },
    )


@pytest.mark.parametrize("rule", RULES)
def test_regrouped_net_value(httpserver, rule):
    rows = net_values()
    periods = series_periods(rows, rule)
    sums = [sum(day["dealerDeskNetValue"] for day in days) for _, days in periods]
    # Scaling each day before summing would give other floats somewhere
    # (a day is a period of its own under "d").
    assert rule == "d" or any(
        sum(day["dealerDeskNetValue"] / UNIT for day in days) != total / UNIT
        for (_, days), total in zip(periods, sums)
    )
    table = get(httpserver, rows, ticker=7, period=rule)
    # Periods without rows stay, with a sum of 0.
    series_check(
        table,
        [label for label, _ in periods],
        {"ticker": [7] * len(periods), "dealerDeskNetValue": [total / UNIT for total in sums]},
    )
    assert {type(ticker) for ticker in table["ticker"].tolist()} == {int}


@pytest.mark.parametrize("period, line", [("D", 31), ("W", 28)])
def test_missing_net_value(httpserver, period, line):
    rows = [{"DateTime": row["DateTime"], "trades": row["trades"]} for row in net_values()]
    with pytest.raises(KeyError) as excinfo:
        get(httpserver, rows, period=period)
    assert "dealerDeskNetValue" in str(excinfo.value)
    assert series_line(excinfo.value, "dealerDesk", "get_dealerDesk") == line
