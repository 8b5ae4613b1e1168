"""Price bars of one ticker: open, high, low and close prices and traded volume."""

import pandas as pd

base_url: str
"""Root address of the service; rebinding it here redirects this module from its next call."""
__test__: dict[str, object]
"""Doctest's table of extra tests: empty."""

def get_pricebars(ticker: str, fromDate: str, toDate: str, period: str) -> pd.DataFrame:
    """Fetch the price bars of ``ticker`` from ``fromDate`` to ``toDate``.

    Sends one GET request to ``<base_url>/api/stock/pricebars`` with the login
    client's headers and the query ``ticker``, ``fromDate``, ``toDate``, each sent
    as given (for example ``"FPT"``, ``"2024-01-01"``). Every argument must be
    exactly a ``str``.

    ``period`` is ``"D"`` for the bars as the service sends them, or a pandas
    resample rule (``"W"``, ``"ME"``, ``"QE"``, ...) that regroups them; it is not
    sent. ``"d"`` is a rule, not ``"D"``.

    Returns:
        A new ``DataFrame`` indexed by a ``DatetimeIndex`` named "DateTime".

        - ``"D"``: one row per bar, in the service's order, with the columns
          the service sends ("Open", "High", "Low", "Close", "Volume"); prices
          in VND, volume in shares.
        - other rules: one row per period, labelled as pandas labels it, with
          exactly the columns "ticker" (the ``ticker`` argument), "Open" (the
          period's first open), "High" (highest high), "Low" (lowest low),
          "Close" (last close) and "Volume" (total volume). Periods without
          bars are kept, with NaN prices and a volume of 0.

        A range without rows gives an empty table of the same shape.

    Raises:
        TypeError: a missing, extra or unknown argument, or an argument that is
            not exactly ``str``; nothing is sent.
        ValueError: the service answered with a status other than 200; the
            message names the status and the response body.
        requests.RequestException: the request failed (connection, invalid
            address); a body that is not JSON raises requests' JSON error.
        Exception: pandas' own errors, for example for a ``period`` that is not
            a resample rule or a bar column the service did not send.
    """
