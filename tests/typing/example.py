"""A user's script, fully typed: it must pass ``mypy --strict`` with pandas-stubs."""

from __future__ import annotations

import pandas as pd

from quorvex.config.require_session import require_session
from quorvex.process_client.login import Client
from quorvex.process_stock.dealerDesk import get_dealerDesk
from quorvex.process_stock.dividend import get_dividend
from quorvex.process_stock.foreign import get_foreign
from quorvex.process_stock.matchBook import get_match_book
from quorvex.process_stock.pricebars import get_pricebars


@require_session
def weekly_closes(ticker: str, year: int) -> pd.Series[float]:
    bars = get_pricebars(ticker, f"{year}-01-01", f"{year}-12-31", "W")
    closes: pd.Series[float] = bars["Close"].astype(float)
    return closes


def report(ticker: str) -> dict[str, float]:
    token: str = Client().login("demo", "demo")
    assert Client.token == token
    flows = get_foreign(ticker, "2024-01-01", "2024-03-31", "ME", 1e9)
    dealers = get_dealerDesk(ticker=ticker, fromDate="2024-01-01", toDate="2024-03-31", period="D", unit=1_000_000)
    book = get_match_book(ticker, "2024-01-01", "2024-03-31", "QE")
    events = get_dividend(ticker, "2020-01-01", "2024-12-31")
    ex_dates: pd.Series[pd.Timestamp] = events["Ngày GD không hưởng quyền"]
    closes = weekly_closes(ticker, 2024)
    Client().logout()
    return {
        "net_foreign_bn": float(flows["netForeignValue"].sum()),
        "dealer_mn": float(dealers["dealerDeskNetValue"].sum()),
        "buy_orders": float(book["buyCount"].sum()),
        "events": float(len(ex_dates)),
        "last_close": float(closes.iloc[-1]),
    }


if __name__ == "__main__":
    print(report("FPT"))
