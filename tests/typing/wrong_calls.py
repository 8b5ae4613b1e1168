"""Calls a type checker must refuse. Each faulty line ends in ``# expect: <mypy code>``;
the typing test requires mypy to report exactly these lines with these codes."""

from quorvex.config.require_session import require_session
from quorvex.process_client.login import Client
from quorvex.process_stock.dealerDesk import get_dealerDesk
from quorvex.process_stock.dividend import get_dividend
from quorvex.process_stock.foreign import get_foreign
from quorvex.process_stock.matchBook import get_match_book
from quorvex.process_stock.pricebars import get_pricebars


@require_session
def guarded(ticker: str, weeks: int) -> str:
    return ticker * weeks


get_pricebars(1234, "2024-01-01", "2024-01-31", "W")  # expect: arg-type
get_pricebars("FPT", "2024-01-01", "2024-01-31")  # expect: call-arg
get_foreign("FPT", "2024-01-01", "2024-03-31", "W", "1e9")  # expect: arg-type
get_dealerDesk("VCB", "2024-01-01", "2024-06-30", "ME", 1e6, 0)  # expect: call-arg
get_match_book("FPT", "2024-01-01", "2024-03-31", per="W")  # expect: call-arg
events: list[str] = get_dividend("FPT", "2022-01-01", "2024-12-31")  # expect: assignment
guarded("FPT", "two")  # expect: arg-type
weeks: int = guarded("FPT", 2)  # expect: assignment
Client().login("demo")  # expect: call-arg
