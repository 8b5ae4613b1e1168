"""Dividend events: "-" cells become missing values and the three date
columns become timestamps; rows and columns stay as the service sent them."""

import datetime as dt
import math
import unicodedata

import pandas as pd
import pytest

from helpers import SERIES_PANDAS_WARNINGS, series_line
from quorvex.process_stock.dividend import get_dividend

pytestmark = [pytest.mark.filterwarnings(rule) for rule in SERIES_PANDAS_WARNINGS]

PATH = "/api/stock/diviend"
EX, RECORD, PAID = "Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"
KIND, RATIO, AMOUNT, NOTE = "Loại sự kiện", "Tỷ lệ", "Giá trị (đồng/CP)", "Ghi chú"
DATES = (EX, RECORD, PAID)

EVENTS = [
    {KIND: "Cổ tức bằng tiền", RATIO: "15%", AMOUNT: 1500, NOTE: " - ",
     EX: "2024-05-10", RECORD: "2024-05-13", PAID: "2024-06-20"},
    {KIND: "Cổ tức bằng cổ phiếu", RATIO: "100:15", AMOUNT: "-", NOTE: "--",
     EX: "2024-07-01", RECORD: "2024-07-02", PAID: "-"},
    {KIND: "-", RATIO: "-", AMOUNT: 500, NOTE: "2024-05-10",
     EX: "-", RECORD: "2024-09-03", PAID: "2024-10-01"},
]


def get(httpserver, rows):
    httpserver.expect_request(PATH).respond_with_json(rows)
    return get_dividend("FPT", "2024-01-01", "2024-12-31")


def test_placeholders_and_dates(httpserver):
    table = get(httpserver, EVENTS)
    assert type(table.index) is pd.RangeIndex and list(table.index) == [0, 1, 2]
    assert list(table.columns) == list(EVENTS[0])
    assert [table[name].dtype.kind for name in DATES] == ["M"] * 3
    for name in table.columns:
        for row, value in zip(EVENTS, table[name].tolist()):
            served = row[name]
            if served == "-":
                # NaT in the date columns, numpy's NaN elsewhere.
                assert value is pd.NaT if name in DATES else (isinstance(value, float) and math.isnan(value))
            elif name in DATES:
                assert value == dt.datetime.fromisoformat(served)
            else:
                assert value == served, (name, value, served)


def test_missing_execution_date_column(httpserver):
    rows = [{name: value for name, value in row.items() if name != PAID} for row in EVENTS]
    with pytest.raises(KeyError) as excinfo:
        get(httpserver, rows)
    assert excinfo.value.args == (PAID,)
    assert series_line(excinfo.value, "dividend", "get_dividend") == 30


def test_date_columns_are_matched_in_composed_form(httpserver):
    # The same names in decomposed form are other names.
    rows = [{unicodedata.normalize("NFD", name): value for name, value in row.items()} for row in EVENTS]
    assert list(rows[0]) != list(EVENTS[0])
    with pytest.raises(KeyError) as excinfo:
        get(httpserver, rows)
    assert excinfo.value.args == (EX,)
    assert all(unicodedata.is_normalized("NFC", name) for name in DATES)
