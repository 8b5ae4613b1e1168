"""Foreign investors' trading in one ticker: volumes and values bought and sold."""

import pandas as pd

base_url: str
"""Root address of the service; rebinding it here redirects this module from its next call."""
__test__: dict[str, object]
"""Doctest's table of extra tests: empty."""

def get_foreign(ticker: str, fromDate: str, toDate: str, period: str, unit: float) -> pd.DataFrame:
    """Fetch foreign investors' daily trading in ``ticker`` from ``fromDate`` to ``toDate``.

    Sends one GET request to ``<base_url>/api/stock/foreign`` with the login
    client's headers and the query ``ticker``, ``fromDate``, ``toDate``, each sent
    as given.

    ``period`` is ``"D"`` for the days as the service sends them, or a pandas
    resample rule (``"W"``, ``"ME"``, ``"QE"``, ...) that regroups them; ``unit``
    divides the three value columns after any regrouping (``1e9`` gives billions
    of VND, ``1`` keeps VND). Neither is sent.

    Returns:
        A new ``DataFrame`` indexed by a ``DatetimeIndex`` named "DateTime".

        - ``"D"``: one row per day, in the service's order, with the columns the
          service sends: "Close" (closing price, VND), "buyForeignVolume" and
          "sellForeignVolume" (shares), "buyForeignValue", "sellForeignValue"
          and "netForeignValue" (VND divided by ``unit``).
        - other rules: one row per period with exactly the columns "ticker"
          (the ``ticker`` argument), "Close" (the period's last close), then the
          five flows summed over the period, the three values divided by
          ``unit``. Periods without days are kept (NaN close, zero sums).

        A range without rows gives an empty table of the same shape.

    Raises:
        TypeError: a missing, extra or unknown argument; nothing is sent.
        ValueError: the service answered with a status other than 200; the
            message names the status and the response body.
        requests.RequestException: the request failed (connection, invalid
            address); a body that is not JSON raises requests' JSON error.
        Exception: pandas' own errors, for example for a ``period`` that is not
            a resample rule, a column the service did not send or a ``unit``
            that cannot divide the values.
    """
