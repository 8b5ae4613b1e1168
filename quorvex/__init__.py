"""quorvex: Vietnamese stock-market data from a web service, as pandas DataFrames.

The data functions, the login guard, ``login``, ``set_base_url``, ``configure`` and
``download`` are reachable from here (``import quorvex as qv; qv.get_pricebars(...)``). Each is loaded on first
use, so ``import quorvex`` alone imports neither requests nor pandas.
"""

import importlib as _importlib
import typing as _typing

from quorvex import datasets as _datasets

__version__ = "0.1.0"

# Name at the package root -> the module that defines it: the data functions from the
# registry of data sets, then the rest.
_LAZY: _typing.Dict[str, str] = {
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


def __dir__() -> _typing.List[str]:
    return sorted(set(globals()) | set(_LAZY))
