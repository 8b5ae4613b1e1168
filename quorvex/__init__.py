"""Vietnamese stock-market data from a web service, as pandas DataFrames.

Log in once, then ask for a ticker's rows between two days ("YYYY-MM-DD"), daily
("D") or regrouped by any pandas resample rule ("W", "ME", ...)::

    import quorvex as qv
    qv.login()                     # QUORVEX_USERNAME and QUORVEX_PASSWORD
    bars = qv.get_pricebars("FPT", "2024-01-01", "2024-12-31", "W")

Logging in
    login, logout       the token every data function sends
    set_base_url        the service's address
    require_session     a decorator: your function runs only while logged in

One ticker's table
    get_pricebars       Open, High, Low, Close, Volume
    get_foreign         foreign investors' volumes and values, net value, close
    get_dealerDesk      dealers' own-account net value
    get_match_book      buy-side and sell-side order counts and volumes
    get_dividend        dividend and entitlement events

Many tickers, and how requests are sent
    download            one data set for many tickers, one table with a "ticker" column;
                        raises DownloadError, which names each failed ticker and carries
                        the table of the others
    configure           time limits, retries, a size cap, a request rate, a local store

Where to go next: help(quorvex.download) and each function's own help; the README
(its tables of columns and errors); ``quorvex --help`` for the command line, which
also writes CSV, JSON and Parquet files and draws charts. Names are loaded on first use:
``import quorvex`` alone imports neither requests nor pandas.
"""

import importlib as _importlib
import typing as _typing

from quorvex import datasets as _datasets

__version__ = "0.1.0"

# Name at the package root -> the module that defines it: the data functions from the
# registry of data sets, then the rest.
_LAZY = {
    **{dataset.function: dataset.module for dataset in _datasets.DATASETS.values()},
    "require_session": "quorvex.config.require_session",
    "configure": "quorvex.remote",
    "download": "quorvex.remote",
    "DownloadError": "quorvex.remote",
    "login": "quorvex.service",
    "logout": "quorvex.service",
    "set_base_url": "quorvex.service",
}

__all__ = sorted(_LAZY)

# For type checkers, which do not run the table above (``as`` re-exports each name).
if _typing.TYPE_CHECKING:
    from quorvex.config.require_session import require_session as require_session
    from quorvex.process_stock.dealerDesk import get_dealerDesk as get_dealerDesk
    from quorvex.process_stock.dividend import get_dividend as get_dividend
    from quorvex.process_stock.foreign import get_foreign as get_foreign
    from quorvex.process_stock.matchBook import get_match_book as get_match_book
    from quorvex.process_stock.pricebars import get_pricebars as get_pricebars
    from quorvex.remote import DownloadError as DownloadError
    from quorvex.remote import configure as configure
    from quorvex.remote import download as download
    from quorvex.service import login as login
    from quorvex.service import logout as logout
    from quorvex.service import set_base_url as set_base_url


def __getattr__(name: str) -> _typing.Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(_importlib.import_module(module), name)
    globals()[name] = value  # later reads skip this function
    return value


# Module machinery and private helpers, left out of dir() (and so of help's page).
_UNLISTED = {"__getattr__", "__dir__", "__annotations__", "__annotate__", "__builtins__"}


def __dir__() -> _typing.List[str]:
    """The public names, loaded or not, and the module's own attributes. DownloadError
    stays reachable and in ``__all__`` but unlisted, so that help(quorvex) is not
    mostly the methods every exception inherits: help(quorvex.DownloadError) has it."""
    names = {name for name in globals() if not name.startswith("_") or name.endswith("__")}
    return sorted((names | set(_LAZY)) - _UNLISTED - {"DownloadError"})
