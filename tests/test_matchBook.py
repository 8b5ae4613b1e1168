"""Order-match counts: daily rows as served, and period sums without the
periods in which all four figures are 0."""

import pytest

from helpers import SERIES_PANDAS_WARNINGS, series_check, series_line, series_periods, series_rows
from quorvex.process_stock.matchBook import get_match_book

pytestmark = [pytest.mark.filterwarnings(rule) for rule in SERIES_PANDAS_WARNINGS]

PATH = "/api/stock/sAndD"
RULES = ["W", "MS", pytest.param("d", marks=pytest.mark.filterwarnings("ignore:'d' is deprecated"))]
FIGURES = ["buyCount", "buyVolume", "sellCount", "sellVolume"]


def book():
    """Daily figures with a session code beyond them. Zeros: 2024-01-24
    reports none at all, the week of 2024-02-05 no sell side, the week of
    2024-02-19 nothing (and the week between has no rows)."""
    rows = series_rows(
        "book", buyCount=(100, 2000), buyVolume=(10**5, 10**7), sellCount=(100, 2000),
        sellVolume=(10**5, 10**7), session=(1, 3),
    )
    for row in rows:
        zeros = {
            "2024-01-24": FIGURES,
            "2024-02-05": FIGURES[2:], "2024-02-06": FIGURES[2:], "2024-02-08": FIGURES[2:],
            "2024-02-09": FIGURES[2:],
        }.get(row["DateTime"], FIGURES if row["DateTime"] >= "2024-02-19" else [])
        row.update(dict.fromkeys(zeros, 0))
    return rows


def get(httpserver, rows, ticker="FPT", period="D"):
    httpserver.expect_request(PATH).respond_with_json(rows)
    return get_match_book(ticker, "2024-01-22", "2024-02-23", period)


def test_daily_figures_as_served(httpserver):
    rows = book()
    table = get(httpserver, rows)
    columns = [*FIGURES, "session"]
    series_check(table, [row["DateTime"] for row in rows], {name: [row[name] for row in rows] for name in columns})


@pytest.mark.parametrize("rule", RULES)
def test_regrouped_figures_drop_empty_periods(httpserver, rule):
    rows = book()
    sums = [
        (label, [sum(day[name] for day in days) for name in FIGURES]) for label, days in series_periods(rows, rule)
    ]
    kept = [(label, figures) for label, figures in sums if any(figures)]
    if rule == "W":
        # The empty week and the week of zeros go; the week without a sell side stays.
        assert [label.isoformat() for label, _ in kept] == ["2024-01-28", "2024-02-04", "2024-02-11"]
        assert kept[-1][1][2:] == [0, 0]
    table = get(httpserver, rows, ticker=7, period=rule)
    expected = {"ticker": [7] * len(kept)}
    expected.update({name: [figures[i] for _, figures in kept] for i, name in enumerate(FIGURES)})
    series_check(table, [label for label, _ in kept], expected)
    assert {type(ticker) for ticker in table["ticker"].tolist()} == {int}


@pytest.mark.parametrize("period", ["D", "W"])
def test_missing_figure(httpserver, period):
    rows = [{name: value for name, value in row.items() if name != "sellCount"} for row in book()]
    if period == "D":
        table = get(httpserver, rows)
        assert list(table.columns) == ["buyCount", "buyVolume", "sellVolume", "session"]
        assert len(table) == len(rows)
        return
    with pytest.raises(KeyError) as excinfo:
        get(httpserver, rows, period=period)
    assert "sellCount" in str(excinfo.value)
    assert series_line(excinfo.value, "matchBook", "get_match_book") == 28
