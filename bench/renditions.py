"""Plain-Python renditions of the package's functions: the same steps, in the same order,
written as a Python developer would write them. Each function spells out the shared
request steps itself, as one module per function would: a shared Python helper would add
a Python call that the compiled functions do not make. The benchmark binds this module's
globals (`Client`, `base_url`, `requests`, `pd`, `np`) to the same objects as the
compiled modules' globals before it measures."""

from functools import wraps

Client = base_url = requests = pd = np = None

REFUSAL = "Chưa đăng nhập. Vui lòng đăng nhập trước."

PRICEBARS_COLUMNS = ["DateTime", "Open", "High", "Low", "Close", "Volume"]
FOREIGN_COLUMNS = [
    "DateTime",
    "Close",
    "buyForeignVolume",
    "sellForeignVolume",
    "buyForeignValue",
    "sellForeignValue",
    "netForeignValue",
]
DEALER_COLUMNS = ["DateTime", "dealerDeskNetValue"]
MATCH_COLUMNS = ["DateTime", "buyCount", "buyVolume", "sellCount", "sellVolume"]
DIVIDEND_COLUMNS = ["Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"]


def _refusal(response):
    """The error for a refused answer, carrying the response. Made here, not in the
    function that raises it: a local there would hold the error, whose traceback holds
    that frame, and the cycle would outlive the call."""
    error = ValueError(f"Có lỗi xảy ra\nChi tiết: \nstatus:{response.status_code}\ncontent: {response.text}")
    error.response = response
    return error


def _blank_cells(value, nan, depth):
    """`value` with every cell holding exactly "-" as `nan`, `depth` levels into lists
    and dicts."""
    if isinstance(value, str):
        return nan if value == "-" else value
    if depth and isinstance(value, list):
        return [_blank_cells(item, nan, depth - 1) for item in value]
    if depth and isinstance(value, dict):
        return {key: _blank_cells(item, nan, depth - 1) for key, item in value.items()}
    return value


PRICEBARS_FIGURES = ("Open", "High", "Low", "Close", "Volume")
FOREIGN_FIGURES = (
    "buyForeignVolume",
    "sellForeignVolume",
    "buyForeignValue",
    "sellForeignValue",
    "netForeignValue",
    "Close",
)
DEALER_FIGURES = ("dealerDeskNetValue",)
MATCH_FIGURES = ("buyCount", "buyVolume", "sellCount", "sellVolume")
TIME_COLUMNS = ("DateTime",)


def _quote(value):
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _refused_cell(column, at, date, value, number):
    if number and isinstance(date, str):
        row = f"the row dated {_quote(date)}"
    else:
        row = f"row {at}"
    what = "a number" if number else "a date text"
    return ValueError(f"column {column!r} of {row} holds {_quote(value)} ({type(value).__name__}), not {what}")


def _check_answer(body, figures, dates, null_dates=False):
    """The decoded answer's figure cells are numbers (or null), its date cells text (or,
    with `null_dates`, null), and every figure column is in some row, unless the first
    date column is in none. A list of row objects or a dict of columns; anything else is
    left to pandas. One helper, as a Python developer would write it once."""
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
        return
    if dated:
        for column in figures:
            if column not in seen:
                raise KeyError(column)


def _cells(cells):
    if isinstance(cells, list):
        return cells
    return cells.values() if isinstance(cells, dict) else (cells,)


def get_pricebars(ticker, fromDate, toDate, period):
    if type(ticker) is not str:
        raise TypeError(f"Argument 'ticker' has incorrect type (expected str, got {type(ticker).__name__})")
    if type(fromDate) is not str:
        raise TypeError(f"Argument 'fromDate' has incorrect type (expected str, got {type(fromDate).__name__})")
    if type(toDate) is not str:
        raise TypeError(f"Argument 'toDate' has incorrect type (expected str, got {type(toDate).__name__})")
    if type(period) is not str:
        raise TypeError(f"Argument 'period' has incorrect type (expected str, got {type(period).__name__})")
    client = Client()
    headers = client._get_headers()
    url = f"{base_url}/api/stock/pricebars"
    params = {"ticker": ticker, "fromDate": fromDate, "toDate": toDate}
    response = requests.get(url=url, headers=headers, params=params)
    if not response.status_code == 200:
        raise _refusal(response)
    DataFrame = pd.DataFrame
    rows = response.json()
    if isinstance(rows, list) and not rows:
        data = DataFrame(columns=list(PRICEBARS_COLUMNS), dtype=float)
    else:
        data = DataFrame(rows)
        _check_answer(rows, PRICEBARS_FIGURES, TIME_COLUMNS)
    data["DateTime"] = pd.to_datetime(data["DateTime"])
    data = data.set_index("DateTime")
    if period != "D":
        data = data.resample(period).agg(
            {"Open": "first", "High": "max", "Low": "min", "Close": "last", "Volume": "sum"}
        )
        data.insert(0, "ticker", ticker)
    return data


def get_foreign(ticker, fromDate, toDate, period, unit):
    client = Client()
    headers = client._get_headers()
    url = f"{base_url}/api/stock/foreign"
    params = {"ticker": ticker, "fromDate": fromDate, "toDate": toDate}
    response = requests.get(url=url, headers=headers, params=params)
    if not response.status_code == 200:
        raise _refusal(response)
    DataFrame = pd.DataFrame
    rows = response.json()
    if isinstance(rows, list) and not rows:
        data = DataFrame(columns=list(FOREIGN_COLUMNS), dtype=float)
    else:
        data = DataFrame(rows)
        _check_answer(rows, FOREIGN_FIGURES, TIME_COLUMNS)
    data["DateTime"] = pd.to_datetime(data["DateTime"])
    data = data.set_index("DateTime")
    if period != "D":
        data = data.resample(period).agg(
            {
                "Close": "last",
                "buyForeignVolume": "sum",
                "sellForeignVolume": "sum",
                "buyForeignValue": "sum",
                "sellForeignValue": "sum",
                "netForeignValue": "sum",
            }
        )
        data.insert(0, "ticker", ticker)
    cols = ["buyForeignValue", "sellForeignValue", "netForeignValue"]
    data[cols] = data[cols] / unit
    return data


def get_dealerDesk(ticker, fromDate, toDate, period, unit):
    client = Client()
    headers = client._get_headers()
    url = f"{base_url}/api/stock/dealerDesk"
    params = {"ticker": ticker, "fromDate": fromDate, "toDate": toDate}
    response = requests.get(url=url, headers=headers, params=params)
    if not response.status_code == 200:
        raise _refusal(response)
    DataFrame = pd.DataFrame
    rows = response.json()
    if isinstance(rows, list) and not rows:
        data = DataFrame(columns=list(DEALER_COLUMNS), dtype=float)
    else:
        data = DataFrame(rows)
        _check_answer(rows, DEALER_FIGURES, TIME_COLUMNS)
    data["DateTime"] = pd.to_datetime(data["DateTime"])
    data = data.set_index("DateTime")
    if period != "D":
        data = data.resample(period)[["dealerDeskNetValue"]].sum()
        data.insert(0, "ticker", ticker)
    cols = ["dealerDeskNetValue"]
    data[cols] = data[cols] / unit
    return data


def get_match_book(ticker, fromDate, toDate, period):
    client = Client()
    headers = client._get_headers()
    url = f"{base_url}/api/stock/sAndD"
    params = {"ticker": ticker, "fromDate": fromDate, "toDate": toDate}
    response = requests.get(url=url, headers=headers, params=params)
    if not response.status_code == 200:
        raise _refusal(response)
    DataFrame = pd.DataFrame
    rows = response.json()
    if isinstance(rows, list) and not rows:
        data = DataFrame(columns=list(MATCH_COLUMNS), dtype=float)
    else:
        data = DataFrame(rows)
        _check_answer(rows, MATCH_FIGURES, TIME_COLUMNS)
    data["DateTime"] = pd.to_datetime(data["DateTime"])
    data = data.set_index("DateTime")
    if period != "D":
        data = data.resample(period)[["buyCount", "buyVolume", "sellCount", "sellVolume"]].sum()
        data = data.loc[~data[["buyCount", "buyVolume", "sellCount", "sellVolume"]].eq(0).all(axis=1)]
        data.insert(0, "ticker", ticker)
    return data


def get_dividend(ticker, fromDate, toDate):
    client = Client()
    headers = client._get_headers()
    url = f"{base_url}/api/stock/diviend"
    params = {"ticker": ticker, "fromDate": fromDate, "toDate": toDate}
    response = requests.get(url=url, headers=headers, params=params)
    if not response.status_code == 200:
        raise _refusal(response)
    DataFrame = pd.DataFrame
    decoded = response.json()
    rows = _blank_cells(decoded, np.nan, 2)
    if isinstance(rows, list) and not rows:
        data = DataFrame(columns=list(DIVIDEND_COLUMNS), dtype=float)
    else:
        data = DataFrame(rows)
        _check_answer(decoded, (), DIVIDEND_COLUMNS, null_dates=True)
    cols = ["Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"]
    for col in cols:
        data[col] = pd.to_datetime(data[col])
    return data


def require_session(func):
    @wraps(func)
    def wrapper(*args, **kwargs):
        client = Client()
        if client.token is None:
            raise Exception(REFUSAL)
        return func(*args, **kwargs)

    return wrapper
