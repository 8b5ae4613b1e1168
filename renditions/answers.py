"""What the renditions share: the table made of a decoded answer (with the check of its
cells), the refusal of any status but 200, and the exact-str binding of the price bars.

The compiled functions do these inside one step each, so the renditions call one helper
for each, from the step's own line."""

from collections import namedtuple
from functools import wraps

# `empty`: the columns of the table for an empty answer; `figures`: the columns whose
# cells must be numbers (or null); `dates`: the columns whose cells must be date texts,
# the first naming a row; `null_dates`: a date cell may be null.
Answer = namedtuple("Answer", "empty figures dates null_dates", defaults=(False,))

PRICEBARS = Answer(
    empty=("DateTime", "Open", "High", "Low", "Close", "Volume"),
    figures=("Open", "High", "Low", "Close", "Volume"),
    dates=("DateTime",),
)
FOREIGN = Answer(
    empty=(
        "DateTime",
        "Close",
        "buyForeignVolume",
        "sellForeignVolume",
        "buyForeignValue",
        "sellForeignValue",
        "netForeignValue",
    ),
    figures=(
        "buyForeignVolume",
        "sellForeignVolume",
        "buyForeignValue",
        "sellForeignValue",
        "netForeignValue",
        "Close",
    ),
    dates=("DateTime",),
)
DEALER_DESK = Answer(empty=("DateTime", "dealerDeskNetValue"), figures=("dealerDeskNetValue",), dates=("DateTime",))
MATCH_BOOK = Answer(
    empty=("DateTime", "buyCount", "buyVolume", "sellCount", "sellVolume"),
    figures=("buyCount", "buyVolume", "sellCount", "sellVolume"),
    dates=("DateTime",),
)
DIVIDEND_DATES = ("Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện")
DIVIDEND = Answer(empty=DIVIDEND_DATES, figures=(), dates=DIVIDEND_DATES, null_dates=True)

_NO_BLANK = object()


def table(DataFrame, body, answer, blank=_NO_BLANK):
    """The table of the decoded answer `body`: with `blank`, every cell holding exactly
    "-" becomes `blank` first (two levels into lists and dicts); an empty JSON array gives
    an empty table of the answer's columns (float64, so that it concatenates with others
    without turning their figures into objects). Once pandas has made the table (so that a
    body pandas refuses fails with pandas' error), the body is checked: a row that is not
    an object, a figure that is not a number or a date that is not text raises ValueError
    naming the column, the row and the value; a figure column in no row raises KeyError,
    unless the first date column is in none either (pandas then raises for that column).

    One function, checks written out: the compiled step makes no Python call here, and
    the benchmark measures the renditions against it."""
    rows = body if blank is _NO_BLANK else _blank_cells(body, blank, 2)
    if isinstance(rows, list) and not rows:
        return DataFrame(columns=list(answer.empty), dtype=float)
    data = DataFrame(rows)
    figures, dates, null_dates = answer.figures, answer.dates, answer.null_dates
    seen = set()
    if isinstance(body, list):
        dated = False
        for at, row in enumerate(body):
            if not isinstance(row, dict):
                raise ValueError(f"row {at} of the answer holds {_quote(row)} ({type(row).__name__}), not an object")
            for i, column in enumerate(dates):
                if column in row:
                    cell = row[column]
                    dated = dated or i == 0
                    if not (isinstance(cell, str) or (null_dates and cell is None)):
                        raise _refused_cell(column, at, None, cell, False)
            for column in figures:
                if column in row:
                    cell = row[column]
                    seen.add(column)
                    if not (type(cell) is int or isinstance(cell, float) or cell is None):
                        raise _refused_cell(column, at, row.get(dates[0]), cell, True)
    elif isinstance(body, dict):
        dated = dates[0] in body
        for column in dates:
            for at, cell in enumerate(_cells(body.get(column, ()))):
                if not (isinstance(cell, str) or (null_dates and cell is None)):
                    raise _refused_cell(column, at, None, cell, False)
        first_dates = body.get(dates[0])
        for column in figures:
            if column in body:
                seen.add(column)
                for at, cell in enumerate(_cells(body[column])):
                    if not (type(cell) is int or isinstance(cell, float) or cell is None):
                        date = first_dates[at] if isinstance(first_dates, list) and at < len(first_dates) else None
                        raise _refused_cell(column, at, date, cell, True)
    else:
        return data
    if dated:
        for column in figures:
            if column not in seen:
                raise KeyError(column)
    return data


def refusal(response):
    """The error for a refused answer: its status and body, and the response itself as
    `.response`, as requests.HTTPError carries it. Made here, not in the function that
    raises it: a local there would hold the error, whose traceback holds that frame, and
    the cycle would outlive the call."""
    error = ValueError(f"Có lỗi xảy ra\nChi tiết: \nstatus:{response.status_code}\ncontent: {response.text}")
    error.response = response
    return error


def exact_str(function):
    """`function` (four parameters, ticker to period) refusing any argument that is not
    exactly a str, as the compiled binding of its `str` annotations does."""

    @wraps(function)
    def checked(ticker, fromDate, toDate, period):
        if type(ticker) is not str:
            raise _not_str("ticker", ticker)
        if type(fromDate) is not str:
            raise _not_str("fromDate", fromDate)
        if type(toDate) is not str:
            raise _not_str("toDate", toDate)
        if type(period) is not str:
            raise _not_str("period", period)
        return function(ticker, fromDate, toDate, period)

    return checked


def _not_str(name, value):
    return TypeError(f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})")


def _blank_cells(value, nan, depth):
    if isinstance(value, str):
        return nan if value == "-" else value
    if depth and isinstance(value, list):
        return [_blank_cells(item, nan, depth - 1) for item in value]
    if depth and isinstance(value, dict):
        return {key: _blank_cells(item, nan, depth - 1) for key, item in value.items()}
    return value


def _quote(value):
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _refused_cell(column, at, date, value, number):
    row = f"the row dated {_quote(date)}" if number and isinstance(date, str) else f"row {at}"
    what = "a number" if number else "a date text"
    return ValueError(f"column {column!r} of {row} holds {_quote(value)} ({type(value).__name__}), not {what}")


def _cells(cells):
    if isinstance(cells, list):
        return cells
    return cells.values() if isinstance(cells, dict) else (cells,)
