"""quorvex: Vietnamese stock-market data from a web service, as pandas DataFrames.

The data functions, the login guard, ``configure`` and ``download`` are reachable
from here (``import quorvex as qv; qv.get_pricebars(...)``). Each is loaded on first
use, so ``import quorvex`` alone imports neither requests nor pandas.
"""

import importlib as _importlib
import typing as _typing

__version__ = "0.1.0"

# Name at the package root -> the module that defines it.
_LAZY: _typing.Dict[str, str] = {
    "get_pricebars": "quorvex.process_stock.pricebars",
    "get_foreign": "quorvex.process_stock.foreign",
    "get_dealerDesk": "quorvex.process_stock.dealerDesk",
    "get_match_book": "quorvex.process_stock.matchBook",
    "get_dividend": "quorvex.process_stock.dividend",
    "require_session": "quorvex.config.require_session",
    "configure": "quorvex.remote",
    "download": "quorvex.remote",
    "DownloadError": "quorvex.remote",
}

# Spelled out (the same names as _LAZY) so that type checkers read it.
__all__ = [
    "DownloadError",
    "configure",
    "download",
    "get_dealerDesk",
    "get_dividend",
    "get_foreign",
    "get_match_book",
    "get_pricebars",
    "require_session",
]

if _typing.TYPE_CHECKING:
    from quorvex.config.require_session import require_session
    from quorvex.process_stock.dealerDesk import get_dealerDesk
    from quorvex.process_stock.dividend import get_dividend
    from quorvex.process_stock.foreign import get_foreign
    from quorvex.process_stock.matchBook import get_match_book
    from quorvex.process_stock.pricebars import get_pricebars
    from quorvex.remote import DownloadError, configure, download


def __getattr__(name: str) -> _typing.Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(_importlib.import_module(module), name)
    globals()[name] = value  # later reads skip this function
    return value


def __dir__() -> _typing.List[str]:
    return sorted(set(globals()) | set(_LAZY))
