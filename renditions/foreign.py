from renditions.answers import FOREIGN, refusal, table  # noqa: I001  the renditions' helpers (not in the module)
from quorvex.process_client.login import Client
from quorvex.config.config import base_url
import requests
import pandas as pd
# The same steps as the compiled function, at the lines its tracebacks report.
def get_foreign(ticker, fromDate, toDate, period, unit):  # file quorvex\process_stock\foreign.py, __doc__ the signature
    client = Client()
    headers = client._get_headers()
    url = f"{base_url}/api/stock/foreign"

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
        data = table(pd.DataFrame, response.json(), FOREIGN)  # the cells are checked; [] is an empty table
        data["DateTime"] = pd.to_datetime(data["DateTime"])
        data = data.set_index("DateTime")  # a new table, not inplace=True (deprecated by pandas)
        if period != "D":
            data = data.resample(period).agg(
                {
                    "Close": "last",
                    "buyForeignVolume": "sum",
                    "sellForeignVolume": "sum",
                    "buyForeignValue": "sum",
                    "sellForeignValue": "sum",
                    "netForeignValue": "sum"})
            data.insert(0, "ticker", ticker)
        cols = ["buyForeignValue", "sellForeignValue", "netForeignValue"]
        data[cols] = data[cols] / unit
        return data
    else:
        raise refusal(response)  # ValueError with the status and body; the response as .response


# Bound last, as the compiled module's import does; a failure here is reported at line 2.
__test__ = {}
