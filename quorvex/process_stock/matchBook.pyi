"""Buy-side and sell-side order counts and volumes of one ticker."""

import pandas as pd

base_url: str
"""Root address of the service; rebinding it here redirects this module from its next call."""
__test__: dict[str, object]
"""Doctest's table of extra tests: empty."""

def get_match_book(ticker: str, fromDate: str, toDate: str, period: str) -> pd.DataFrame:
    """Fetch the order-match counts and volumes of ``ticker`` from ``fromDate`` to ``toDate``.

    Sends one GET request to ``<base_url>/api/stock/sAndD`` with the login
    client's headers and the query ``ticker``, ``fromDate``, ``toDate``, each sent
    as given.

    ``period`` is ``"D"`` for the days as the service sends them, or a pandas
    resample rule (``"W"``, ``"ME"``, ``"QE"``, ...) that regroups them; it is not
    sent.

    Returns:
        A new ``DataFrame`` indexed by a ``DatetimeIndex`` named "DateTime".

        - ``"D"``: one row per day, in the service's order, with the columns the
          service sends: "buyCount", "buyVolume", "sellCount", "sellVolume"
          (orders and shares); days whose figures are all zero are kept.
        - other rules: one row per period with exactly the columns "ticker"
          (the ``ticker`` argument), "buyCount", "buyVolume", "sellCount" and
          "sellVolume", each summed over the period. Periods in which all four
          sums are zero are left out.

        A range without rows gives an empty table of the same shape.

    Raises:
        TypeError: a missing, extra or unknown argument; nothing is sent.
        ValueError: the service answered with a status other than 200; the
            message names the status and the response body.
        requests.RequestException: the request failed (connection, invalid
            address); a body that is not JSON raises requests' JSON error.
        Exception: pandas' own errors, for example for a ``period`` that is not
            a resample rule or a figure column the service did not send.
    """
