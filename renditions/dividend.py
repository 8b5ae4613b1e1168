from renditions.answers import DIVIDEND, refusal, table  # noqa: I001  the renditions' helpers (not in the module)
from quorvex.process_client.login import Client
from quorvex.config.config import base_url
import requests
import pandas as pd
import numpy as np
def get_dividend(ticker, fromDate, toDate):  # code file: quorvex\process_stock\dividend.py; __doc__: the signature
    client = Client()
    headers = client._get_headers()
    url = f"{base_url}/api/stock/diviend"  # sic: the service's path says "diviend"

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
        data = table(pd.DataFrame, response.json(), DIVIDEND,  # the cells are checked; [] is an empty table
                     blank=np.nan)  # "-" cells become NaN before the table is made, so pandas types each column once
        cols = [
            "Ngày GD không hưởng quyền",
            "Ngày ĐK cuối cùng",
            "Ngày thực hiện",
        ]
        for col in cols:  # a failure of any turn is reported at the conversion's line
            data[col] = pd.to_datetime(data[col])
        return data
    else:
        raise refusal(response)  # ValueError with the status and body; the response as .response


# Bound last, as the compiled module's import does; a failure here is reported at line 2.
__test__ = {}
