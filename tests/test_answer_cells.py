"""The cells of a 200 answer, checked before they become a table: figures are numbers
(int, float with NaN and infinities, null), dates are text (the dividend's also null),
every documented figure column is in some row, and a row is an object. Anything else is
a clear ValueError or KeyError at the table step, never a silently wrong table."""

import importlib
import json
import math

import pytest

from helpers import STEP_LINES, series_line
from quorvex.datasets import DATASETS
from quorvex.process_stock import dividend

pytestmark = pytest.mark.timeout(30)

DATED, EPOCH = "the row dated '2024-01-05'", 1704412800
DATES = ["Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"]
# module, function, endpoint, documented figure columns, arguments after the ticker's dates
DATA = {
    name: (importlib.import_module(d.module), d.function, d.endpoint, list(d.figures), ["W", 1][: 1 + d.has_unit])
    for name, d in DATASETS.items()
    if d.is_series
}
DIVIDEND = (dividend, "get_dividend", "/api/stock/diviend", [], [])


def rows_of(name, *days, **cells):
    """Rows of ``name`` dated ``days``, every figure 1, then ``cells`` in the last row."""
    figures = DATA[name][3]
    rows = [{"DateTime": day, **dict.fromkeys(figures, 1)} for day in days]
    rows[-1].update(cells)
    return rows


def call(httpserver, name, body, period=None, raw=False):
    module, function, endpoint, _, rest = DATA.get(name, DIVIDEND)
    handler = httpserver.expect_request(endpoint)
    if raw:
        handler.respond_with_data(body, content_type="application/json")
    else:
        handler.respond_with_json(body)
    extra = [period or rest[0], *rest[1:]] if rest else []
    return getattr(module, function)("FPT", "2024-01-01", "2024-01-31", *extra)


def raises_at_table(httpserver, name, body, error, period=None):
    """The error ``call`` raises, checked to be ``error`` and reported at the table step."""
    with pytest.raises(type(error)) as excinfo:
        call(httpserver, name, body, period)
    assert excinfo.value.args == error.args
    function = DATA.get(name, DIVIDEND)[1]
    assert series_line(excinfo.value, name, function) == STEP_LINES[name]["table"]
    return excinfo.value


@pytest.mark.parametrize("period", ["W", "D"])
@pytest.mark.parametrize("name", DATA)
def test_figure_sent_as_text_is_refused(httpserver, name, period):
    """Two days whose last figure is text: a regrouped "sum" would join "1000" and "2000"
    into "10002000". Text that reads as a number is refused, on every period."""
    column = DATA[name][3][-1]
    rows = rows_of(name, "2024-01-04", "2024-01-05", **{column: "2000"})
    rows[0][column] = "1000"
    message = f"column '{column}' of the row dated '2024-01-04' holds '1000' (str), not a number"
    raises_at_table(httpserver, name, rows, ValueError(message), period)


@pytest.mark.parametrize(
    "value, shown",
    [
        (True, "True (bool)"),
        ({"v": 1}, "{'v': 1} (dict)"),
        ([1, 2], "[1, 2] (list)"),
        ("x" * 100, f"'{'x' * 56}... (str)"),  # quoted values are cut to 60 characters
    ],
)
def test_figure_of_another_type_is_refused(httpserver, value, shown):
    rows = rows_of("pricebars", "2024-01-04", "2024-01-05", High=value)
    message = f"column 'High' of the row dated '2024-01-05' holds {shown}, not a number"
    raises_at_table(httpserver, "pricebars", rows, ValueError(message), "D")


@pytest.mark.parametrize("name", ["pricebars", "foreign"])
def test_date_sent_as_epoch_seconds_is_refused(httpserver, name):
    rows = rows_of(name, "2024-01-04", 1704412800)
    message = "column 'DateTime' of row 1 holds 1704412800 (int), not a date text"
    raises_at_table(httpserver, name, rows, ValueError(message), "D")


def test_figure_of_a_row_without_date_names_its_position(httpserver):
    rows = rows_of("matchBook", "2024-01-04", "2024-01-05", buyCount="7")
    del rows[1]["DateTime"]
    message = "column 'buyCount' of row 1 holds '7' (str), not a number"
    raises_at_table(httpserver, "matchBook", rows, ValueError(message))


@pytest.mark.parametrize(
    "row, shown", [([1, 2, 3], "[1, 2, 3] (list)"), ("Có lỗi " * 20, f"{('Có lỗi ' * 20)[:56]!r}"[:57] + "... (str)")]
)
def test_row_that_is_not_an_object_is_refused(httpserver, row, shown):
    """pandas makes a table of a list of lists, or of texts; neither is a list of rows."""
    message = f"row 0 of the answer holds {shown}, not an object"
    raises_at_table(httpserver, "dealerDesk", [row, row], ValueError(message))


@pytest.mark.parametrize(
    "name, period", [(name, period) for name in DATA for period in ("D", "W")] + [("dividend", None)]
)
def test_every_row_is_checked_whatever_its_place(httpserver, name, period):
    """pandas reads a list whose first row is an object as a list of objects: a later row
    of another kind failed inside pandas ('int' object has no attribute 'keys') instead
    of being refused, and a text figure in row 0 of such a body went unreported."""
    if name in DATA:
        first = rows_of(name, "2024-01-04")
    else:
        first = [{DATES[0]: "2024-01-04"}]
    body = [first[0], dict(first[0]), [5, "x"]]
    raises_at_table(
        httpserver, name, body, ValueError("row 2 of the answer holds [5, 'x'] (list), not an object"), period
    )
    if name in DATA:
        httpserver.clear()
        column = DATA[name][3][0]
        body = [{**first[0], column: "7"}, [5, "x"]]
        message = f"column '{column}' of the row dated '2024-01-04' holds '7' (str), not a number"
        raises_at_table(httpserver, name, body, ValueError(message), period)


@pytest.mark.parametrize("period", ["D", "W"])
def test_figure_column_in_no_row_is_a_key_error(httpserver, period):
    """The first missing column in the documented order is named, on "D" as on "W"."""
    rows = [{"DateTime": "2024-01-04", "Close": 1, "buyForeignVolume": 1, "buyForeignValue": 1}]
    raises_at_table(httpserver, "foreign", rows, KeyError("sellForeignVolume"), period)


def test_a_figure_missing_from_some_rows_only_is_a_missing_value(httpserver):
    """(No "DateTime" in any row stays pandas' KeyError at the time index, figure columns
    missing or not: tests/test_pipeline.py's unusable bodies.)"""
    rows = rows_of("pricebars", "2024-01-04", "2024-01-05")
    del rows[0]["Volume"]
    table = call(httpserver, "pricebars", rows, "D")
    assert math.isnan(table["Volume"].iloc[0]) and table["Volume"].iloc[1] == 1


def test_null_nan_and_infinity_are_numbers(httpserver):
    body = json.dumps(rows_of("pricebars", "2024-01-04", "2024-01-05", Open=None, High=1.5, Low=2.5))
    body = body.replace('"High": 1.5', '"High": NaN').replace('"Low": 2.5', '"Low": -Infinity')
    table = call(httpserver, "pricebars", body, "D", raw=True)
    assert math.isnan(table["Open"].iloc[1]) and math.isnan(table["High"].iloc[1])
    assert table["Low"].iloc[1] == -math.inf and list(table["Volume"]) == [1, 1]


def test_dividend_dates(httpserver):
    """Text, "-" and null are dividend dates; a number is not."""
    row = {DATES[0]: "2024-01-05", DATES[1]: "-", DATES[2]: None, "Tỷ lệ": "10%"}
    table = call(httpserver, "dividend", [row])
    assert list(table.columns) == [*DATES, "Tỷ lệ"] and table[DATES[1]].isna().all()
    httpserver.clear()
    message = f"column '{DATES[1]}' of row 1 holds 1704412800 (int), not a date text"
    raises_at_table(httpserver, "dividend", [row, {**row, DATES[1]: 1704412800}], ValueError(message))


@pytest.mark.parametrize(
    "change, error",
    [
        ({"Volume": [1, "2000"]}, ValueError(f"column 'Volume' of {DATED} holds '2000' (str), not a number")),
        ({"Volume": "5"}, ValueError("column 'Volume' of row 0 holds '5' (str), not a number")),
        (
            {"DateTime": ["2024-01-04", EPOCH]},
            ValueError(f"column 'DateTime' of row 1 holds {EPOCH} (int), not a date text"),
        ),
        ({"Low": None}, KeyError("Low")),
    ],
)
def test_dict_of_columns_is_checked_column_by_column(httpserver, change, error):
    """pandas also makes a table of {"DateTime": [...], "Volume": [...]}."""
    columns = {"DateTime": ["2024-01-04", "2024-01-05"], **{key: [1, 2.5] for key in DATA["pricebars"][3]}}
    assert list(call(httpserver, "pricebars", columns, "D")["Volume"]) == [1, 2.5]
    httpserver.clear()
    columns.update(change)
    if change == {"Low": None}:
        del columns["Low"]
    raises_at_table(httpserver, "pricebars", columns, error, "D")


def test_dict_of_row_dicts_names_the_row_by_its_date(httpserver):
    columns = {"DateTime": {"a": "2024-01-04", "b": "2024-01-05"}}
    columns.update({key: {"a": 1, "b": 2} for key in DATA["matchBook"][3]})
    columns["sellVolume"]["b"] = [2]
    message = "column 'sellVolume' of the row dated '2024-01-05' holds [2] (list), not a number"
    raises_at_table(httpserver, "matchBook", columns, ValueError(message))
