"""Dividend events: "-" cells become missing values, the three date columns timestamps."""

import datetime as dt

import pandas as pd
import pytest

from helpers import STEP_LINES, series_line
from quorvex.process_stock.dividend import get_dividend

DATES = EX, RECORD, PAID = "Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"
KIND, AMOUNT, NOTE = "Loại", "Giá trị (đồng/CP)", "Ghi chú"
EVENTS = [  # texts that merely hold hyphens stay as they are
    {KIND: "Tiền", AMOUNT: 1500, NOTE: " - ", EX: "2024-05-10", RECORD: "2024-05-13", PAID: "2024-06-20"},
    {KIND: "Cổ phiếu", AMOUNT: "-", NOTE: "--", EX: "2024-07-01", RECORD: "2024-07-02", PAID: "-"},
    {KIND: "-", AMOUNT: 500, NOTE: "2024-05-10", EX: "-", RECORD: "2024-09-03", PAID: "2024-10-01"},
]


def get(httpserver, rows):
    httpserver.expect_request("/api/stock/diviend").respond_with_json(rows)
    return get_dividend("FPT", "2024-01-01", "2024-12-31")


@pytest.mark.parametrize("layout", ["records", "columns"])
def test_placeholders_and_dates_in_either_table_layout(httpserver, layout):
    body = EVENTS if layout == "records" else {name: [row[name] for row in EVENTS] for name in EVENTS[0]}
    table = get(httpserver, body)
    assert type(table.index) is pd.RangeIndex and list(table.index) == [0, 1, 2]
    assert list(table.columns) == list(EVENTS[0])
    assert [table[name].dtype.kind for name in DATES] == ["M"] * 3  # so a "-" date is NaT
    assert table[AMOUNT].dtype == "float64"  # numbers with NaN, on every pandas
    for name in table.columns:
        for row, value in zip(EVENTS, table[name].tolist()):
            if row[name] == "-":
                assert value != value, (name, value)  # NaN (None would equal itself)
            else:
                expected = dt.datetime.fromisoformat(row[name]) if name in DATES else row[name]
                assert value == expected, (name, value)


def test_missing_execution_date_column(httpserver):
    with pytest.raises(KeyError) as excinfo:
        get(httpserver, [{name: value for name, value in row.items() if name != PAID} for row in EVENTS])
    assert excinfo.value.args == (PAID,)
    assert series_line(excinfo.value, "dividend", "get_dividend") == STEP_LINES["dividend"]["to_datetime"]


def test_amounts_all_unknown(httpserver):
    rows = [dict(row, **{AMOUNT: "-"}) for row in EVENTS]
    assert get(httpserver, rows)[AMOUNT].dtype == "float64"
