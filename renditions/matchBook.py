from renditions.answers import MATCH_BOOK, refusal, table  # noqa: I001  the renditions' helpers (not in the module)
from quorvex.process_client.login import Client
from quorvex.config.config import base_url
import requests
import pandas as pd
# The same steps as the compiled function, at the lines its tracebacks report.
# The compiled function's code names `quorvex\process_stock\matchBook.py` (backslashes)
# as its file, and its __doc__ is its signature.
def get_match_book(ticker, fromDate, toDate, period):
    client = Client()
    headers = client._get_headers()
    url = f"{base_url}/api/stock/sAndD"

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
        data = table(pd.DataFrame, response.json(), MATCH_BOOK)  # the cells are checked; [] is an empty table
        data["DateTime"] = pd.to_datetime(data["DateTime"])
        data = data.set_index("DateTime")  # a new table, not inplace=True (deprecated by pandas)
        if period != "D":
            data = data.resample(period)[["buyCount", "buyVolume", "sellCount", "sellVolume"]].sum()
            data = data.loc[~data[["buyCount", "buyVolume", "sellCount", "sellVolume"]].eq(0).all(axis=1)]
            data.insert(0, "ticker", ticker)
        return data
    else:
        raise refusal(response)  # ValueError with the status and body; the response as .response


# Bound last, as the compiled module's import does; a failure here is reported at line 2.
__test__ = {}
