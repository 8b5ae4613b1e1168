"""Dividend and entitlement events of one ticker."""

import pandas as pd

base_url: str
"""Root address of the service; rebinding it here redirects this module from its next call."""
__test__: dict[str, object]
"""Doctest's table of extra tests: empty."""

def get_dividend(ticker: str, fromDate: str, toDate: str) -> pd.DataFrame:
    """Fetch the dividend and entitlement events of ``ticker`` from ``fromDate`` to ``toDate``.

    Sends one GET request to ``<base_url>/api/stock/diviend`` with the login
    client's headers and the query ``ticker``, ``fromDate``, ``toDate``, each sent
    as given.

    Returns:
        A new ``DataFrame`` with one row per event, in the service's order, and
        the default index 0, 1, 2, ... Its columns are those the service sends,
        in its order (the sample service: "Loại sự kiện", "Tỷ lệ",
        "Giá trị (đồng/CP)" and the three dates). A cell holding exactly "-"
        becomes NaN; the date columns "Ngày GD không hưởng quyền" (ex-rights
        date), "Ngày ĐK cuối cùng" (record date) and "Ngày thực hiện"
        (execution date) hold timestamps, NaT where unknown.

        A range without events gives an empty table with the three date
        columns.

    Raises:
        TypeError: a missing, extra or unknown argument; nothing is sent.
        ValueError: the service answered with a status other than 200; the
            message names the status and the response body.
        requests.RequestException: the request failed (connection, invalid
            address); a body that is not JSON raises requests' JSON error.
        KeyError: a date column is missing from the service's rows.
        Exception: pandas' own errors, for example a date it cannot read.
    """
