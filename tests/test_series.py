"""Values of the four time series, as served ("D") and regrouped into longer periods."""

import importlib
import math

import pytest

from helpers import STEP_LINES, series_check, series_line, series_periods, series_rows
from quorvex.datasets import DATASETS

NAN = math.nan
UNIT = 1000
FIGURES = ["buyCount", "buyVolume", "sellCount", "sellVolume"]
FOREIGN_VALUES = ["buyForeignValue", "sellForeignValue", "netForeignValue"]


def first(cells):
    return cells[0] if cells else NAN


def last(cells):
    return cells[-1] if cells else NAN


VOLUME, VALUE = (10**4, 10**7), (10**6, 10**9)
# Lower-case "d" is a pandas rule of one calendar day, not "D"; pandas 3.1 deprecates the spelling.
DAYS = pytest.param("d", marks=pytest.mark.filterwarnings("ignore:'d' is deprecated"))
# ticker of the regrouped call (non-str where allowed), ranges of the served columns, and the
# aggregation of each regrouped column in order
SERIES = {
    "pricebars": (
        "fpt",
        dict(Open=(90, 110), High=(110, 130), Low=(70, 90), Close=(90, 110), Volume=VOLUME),
        dict(Open=first, High=lambda c: max(c, default=NAN), Low=lambda c: min(c, default=NAN), Close=last, Volume=sum),
    ),
    "foreign": (
        7,
        dict(
            buyForeignVolume=VOLUME,
            sellForeignVolume=VOLUME,
            buyForeignValue=VALUE,
            sellForeignValue=VALUE,
            netForeignValue=(-(10**9), 10**9),
            Close=(90_000, 110_000),
        ),
        dict(Close=last, **dict.fromkeys(["buyForeignVolume", "sellForeignVolume", *FOREIGN_VALUES], sum)),
    ),
    "dealerDesk": (7, dict(dealerDeskNetValue=(-(10**11), 10**11)), dict(dealerDeskNetValue=sum)),
    "matchBook": (
        7,
        dict(buyCount=(100, 2000), buyVolume=VOLUME, sellCount=(100, 2000), sellVolume=VOLUME),
        dict.fromkeys(FIGURES, sum),
    ),
}


def zeros(day):
    """matchBook: 2024-01-24 reports nothing, the week of 02-05 no sell side, the week of 02-19 nothing."""
    if day == "2024-01-24" or day >= "2024-02-19":
        return FIGURES
    return FIGURES[2:] if "2024-02-05" <= day <= "2024-02-11" else []


def served(name, drop=()):
    rows = series_rows(name, **SERIES[name][1])
    for row in rows:
        row.update(dict.fromkeys(zeros(row["DateTime"]) if name == "matchBook" else [], 0), note="n")
    return [{key: value for key, value in row.items() if key not in drop} for row in rows]


def get(httpserver, name, rows, period="D", ticker="FPT"):
    dataset = DATASETS[name]
    httpserver.expect_request(dataset.endpoint).respond_with_json(rows)
    function = getattr(importlib.import_module(dataset.module), dataset.function)
    return function(ticker, "2024-01-22", "2024-02-23", period, *([UNIT] if dataset.has_unit else []))


@pytest.mark.parametrize("name", SERIES)
def test_daily_rows_as_served(httpserver, name):
    # Newest first, "DateTime" last: order of rows and of columns is kept, only the unit applies.
    rows = [{**{k: v for k, v in row.items() if k != "DateTime"}, "DateTime": row["DateTime"]} for row in served(name)]
    rows.reverse()
    columns = {key: [row[key] for row in rows] for key in rows[0] if key != "DateTime"}
    for key in DATASETS[name].scaled:
        columns[key] = [value / UNIT for value in columns[key]]
    series_check(get(httpserver, name, rows), [row["DateTime"] for row in rows], columns)


@pytest.mark.parametrize("rule", ["W", "MS", DAYS])
@pytest.mark.parametrize("name", SERIES)
def test_regrouped(httpserver, name, rule):
    (ticker, _, agg), scaled = SERIES[name], DATASETS[name].scaled
    rows = served(name)
    periods = [
        (label, {key: f([day[key] for day in days]) for key, f in agg.items()})
        for label, days in series_periods(rows, rule)
    ]
    # Periods without rows stay, except in matchBook, which drops every period whose figures are all 0.
    periods = [(label, cells) for label, cells in periods if name != "matchBook" or any(cells.values())]
    if name == "matchBook" and rule == "W":  # the week of zeros goes, the one without a sell side stays
        assert [str(label) for label, _ in periods] == ["2024-01-28", "2024-02-04", "2024-02-11"]
        assert periods[-1][1]["sellCount"] == 0
    expected = {"ticker": [ticker] * len(periods)}
    for key in agg:
        expected[key] = [cells[key] / UNIT if key in scaled else cells[key] for _, cells in periods]
    # Scaling each day before summing would give other floats somewhere, even summed exactly.
    differs = [
        math.fsum(day[key] / UNIT for day in days) != sum(day[key] for day in days) / UNIT
        for _, days in series_periods(rows, rule)
        for key in scaled
    ]
    assert rule == "d" or not scaled or any(differs)
    table = get(httpserver, name, rows, rule, ticker)
    series_check(table, [label for label, _ in periods], expected)
    assert {type(value) for value in table["ticker"].tolist()} == {type(ticker)}
    assert httpserver.log[0][0].query_string.startswith(f"ticker={ticker}&".encode())


@pytest.mark.parametrize(
    "name, drop, period",
    [
        ("pricebars", ("Open", "High", "Low", "Volume"), "D"),
        ("pricebars", ("Open", "High", "Low", "Volume"), "W"),
        ("foreign", ("Close", "buyForeignVolume"), "D"),
        ("foreign", ("Close",), "W"),
        ("foreign", ("sellForeignVolume",), "W"),
        ("foreign", ("buyForeignValue",), "D"),
        ("foreign", ("netForeignValue",), "D"),
        ("dealerDesk", ("dealerDeskNetValue",), "D"),
        ("dealerDesk", ("dealerDeskNetValue",), "W"),
        ("matchBook", ("sellCount",), "D"),
        ("matchBook", ("sellCount",), "W"),
    ],
)
def test_missing_column(httpserver, name, drop, period):
    """A documented figure column that no row carries is a KeyError naming it (the first
    missing one in the documented order) at the table step, on every period, "D" too."""
    rows = served(name, drop)
    with pytest.raises(KeyError) as excinfo:
        get(httpserver, name, rows, period)
    assert excinfo.value.args == (next(key for key in SERIES[name][1] if key in drop),)
    assert series_line(excinfo.value, name, DATASETS[name].function) == STEP_LINES[name]["table"]
