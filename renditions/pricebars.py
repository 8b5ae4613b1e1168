from renditions.answers import PRICEBARS, exact_str, refusal, table  # noqa: I001  the renditions' helpers (not in the module)
from quorvex.process_client.login import Client
from quorvex.config.config import base_url
import requests
import pandas as pd
from datetime import datetime  # noqa: F401  unused, and bound all the same: the module has always offered it
# The same steps as the compiled function, at the lines its tracebacks report. That
# function's code names `quorvex\process_stock\pricebars.py` (backslashes) as
def get_pricebars(ticker: str, fromDate: str, toDate: str, period: str):  # its file; __doc__: its signature
    client = Client()
    headers = client._get_headers()
    url = f"{base_url}/api/stock/pricebars"

    params = {
        "ticker": ticker,
        "fromDate": fromDate,
        "toDate": toDate}
    response = requests.get(
        url=url,
        headers=headers,
        params=params,
    )
    if response.status_code == 200:
        data = table(pd.DataFrame, response.json(), PRICEBARS)  # the cells are checked; [] is an empty table
        data["DateTime"] = pd.to_datetime(data["DateTime"])
        data = data.set_index("DateTime")  # a new table, not inplace=True (deprecated by pandas)
        if period != "D":
            data = data.resample(period).agg(
                {
                    "Open": "first",
                    "High": "max",
                    "Low": "min",
                    "Close": "last",
                    "Volume": "sum",
                }
            )
            data.insert(0, "ticker", ticker)
        return data
    else:
        raise refusal(response)  # ValueError with the status and body; the response as .response


# The compiled binding takes the `str` annotations at their word: anything but an exact str
# is refused with TypeError before the body runs (and adds no traceback entry).
get_pricebars = exact_str(get_pricebars)
# Bound last, as the compiled module's import does; a failure here is reported at line 2.
__test__ = {}
