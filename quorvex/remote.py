"""Using a real, remote service: time limits, retries, connection reuse, many tickers.

Nothing here changes how the data functions behave until it is asked to. By default
each data module's ``requests`` global is the ``requests`` module, and every call
opens its own connection and waits without a time limit. ``configure`` rebinds that
global in the five data modules to a ``ConfiguredRequests`` object whose ``get``
sends the request through one shared ``requests.Session`` (connections are kept
alive and reused) with a time limit and retries; ``configure()`` puts the
``requests`` module back. ``download`` calls one data function for many tickers on a
pool of threads and gathers the tables into one.
"""

from __future__ import annotations

import concurrent.futures
import importlib
import sys
import threading
import warnings
from types import TracebackType
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    Dict,
    Iterable,
    List,
    Mapping,
    NamedTuple,
    Optional,
    Sequence,
    Tuple,
    Union,
)

import requests
import requests.adapters
from urllib3.exceptions import ConnectTimeoutError, NewConnectionError, ReadTimeoutError
from urllib3.util.retry import Retry

if TYPE_CHECKING:
    import pandas

__all__ = ["ConfiguredRequests", "DATASETS", "DownloadError", "configure", "download"]

#: A time limit in seconds, or a (connect, read) pair; ``None`` waits without limit.
Timeout = Union[None, float, Tuple[Optional[float], Optional[float]]]

#: Statuses that are answered again after a pause, as transient refusals.
RETRY_STATUSES = frozenset({429, 500, 502, 503, 504})

#: Longest pause before a retry, in seconds, whatever an answer's Retry-After asks.
MAX_RETRY_AFTER = 60.0

#: Connections kept per host by the shared session; ``download`` enlarges the pool
#: when it runs more threads than this.
POOL_SIZE = 16


class Dataset(NamedTuple):
    """One data function: its module, its name and the arguments it takes."""

    module: str
    function: str
    has_period: bool
    has_unit: bool


#: The data sets ``download`` knows, by the name a user gives.
DATASETS: Mapping[str, Dataset] = {
    "pricebars": Dataset("quorvex.process_stock.pricebars", "get_pricebars", has_period=True, has_unit=False),
    "foreign": Dataset("quorvex.process_stock.foreign", "get_foreign", has_period=True, has_unit=True),
    "dealerDesk": Dataset("quorvex.process_stock.dealerDesk", "get_dealerDesk", has_period=True, has_unit=True),
    "matchBook": Dataset("quorvex.process_stock.matchBook", "get_match_book", has_period=True, has_unit=False),
    "dividend": Dataset("quorvex.process_stock.dividend", "get_dividend", has_period=False, has_unit=False),
}


class _FinalTimeoutRetry(Retry):
    """urllib3's Retry, except that a time limit that ran out is never retried.

    A time limit bounds the wait of a call, so it ends the call at once, and it ends
    it with requests' own ``ConnectTimeout`` or ``ReadTimeout``: once retries are
    counted, urllib3 would otherwise wrap a read time-out in ``MaxRetryError``, which
    requests reports as a plain ``ConnectionError``. Refused connections (urllib3
    files them under connect time-outs too) are retried like any connection error.
    """

    def increment(
        self,
        method: Optional[str] = None,
        url: Optional[str] = None,
        response: Any = None,
        error: Optional[Exception] = None,
        _pool: Any = None,
        _stacktrace: Optional[TracebackType] = None,
    ) -> _FinalTimeoutRetry:
        if isinstance(error, ReadTimeoutError) or (
            isinstance(error, ConnectTimeoutError) and not isinstance(error, NewConnectionError)
        ):
            raise error
        return super().increment(method, url, response, error, _pool, _stacktrace)

    def get_retry_after(self, response: Any) -> Optional[float]:
        # A service may ask for a pause of hours; a call waits at most this long.
        retry_after: Optional[float] = super().get_retry_after(response)
        return None if retry_after is None else min(retry_after, MAX_RETRY_AFTER)


def _retry(retries: int, backoff: float) -> Retry:
    # raise_on_status=False: once the retries are spent, the last refused answer is
    # returned, so the data function's status gate reports it (ValueError with the
    # response) instead of requests' RetryError.
    return _FinalTimeoutRetry(
        total=retries,
        connect=retries,
        read=retries,
        status=retries,
        redirect=False,
        status_forcelist=RETRY_STATUSES,
        backoff_factor=backoff,
        respect_retry_after_header=True,
        raise_on_status=False,
    )


class ConfiguredRequests:
    """What ``configure`` binds as ``requests`` in the data modules.

    ``get(url, params=None, **kwargs)`` is ``requests.get`` sent through ``session``
    with ``timeout`` added (unless the call gives one). Every other attribute is read
    from the ``requests`` module, so ``module.requests.exceptions`` still works.
    """

    def __init__(self, session: Any, timeout: Timeout, retry: Optional[Retry] = None) -> None:
        self.session = session
        self.timeout = timeout
        # Set when quorvex made the session (and so may resize and close it).
        self._retry = retry
        self._pool_size = 0
        self._lock = threading.Lock()
        if retry is not None:
            self.ensure_pool(POOL_SIZE)

    def get(self, url: str, params: Any = None, **kwargs: Any) -> requests.Response:
        if self.timeout is not None:
            kwargs.setdefault("timeout", self.timeout)
        response: requests.Response = self.session.get(url, params=params, **kwargs)
        return response

    def ensure_pool(self, connections: int) -> None:
        """Let ``connections`` threads each keep a connection of quorvex's own session."""
        if self._retry is None:
            return
        with self._lock:
            if self._pool_size < connections:
                old = self.session.adapters.get("https://")
                adapter = requests.adapters.HTTPAdapter(max_retries=self._retry, pool_maxsize=connections)
                self.session.mount("http://", adapter)
                self.session.mount("https://", adapter)
                self._pool_size = connections
                # Its idle connections are closed now rather than whenever it is
                # collected; one in use is closed when its call gives it back.
                if isinstance(old, requests.adapters.HTTPAdapter):
                    old.close()

    def close(self) -> None:
        if self._retry is not None:
            self.session.close()

    def __getattr__(self, name: str) -> Any:
        return getattr(requests, name)

    def __repr__(self) -> str:
        return f"<quorvex configured requests: timeout={self.timeout!r}, session={self.session!r}>"


def _check_seconds(value: Any, what: str) -> None:
    if value is None:
        return
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{what} must be a number of seconds or None, not {type(value).__name__}")
    if not value > 0:  # also refuses NaN
        raise ValueError(f"{what} must be more than 0 seconds, not {value!r}")


def _check_timeout(timeout: Any) -> Timeout:
    if isinstance(timeout, (tuple, list)):
        if len(timeout) != 2:
            raise ValueError(f"timeout must be one number or a (connect, read) pair, not {timeout!r}")
        _check_seconds(timeout[0], "the connect timeout")
        _check_seconds(timeout[1], "the read timeout")
        return (timeout[0], timeout[1])
    _check_seconds(timeout, "timeout")
    return timeout  # type: ignore[no-any-return]


_lock = threading.RLock()
_configured: Optional[ConfiguredRequests] = None


def configure(*, timeout: Timeout = None, retries: int = 0, backoff: float = 0.5, session: Any = None) -> None:
    """Send every data function's request through one shared session from now on.

    ``timeout``: seconds to wait for the connection and for each read of the answer,
    or a ``(connect, read)`` pair; ``None`` waits without limit. A call whose time
    limit runs out raises ``requests.exceptions.Timeout`` (``ConnectTimeout`` or
    ``ReadTimeout``) at once; a time-out is never retried.

    ``retries``: how many times a request is sent again after a connection error
    (refused, reset or dropped) or a status 429, 500, 502, 503 or 504: the first
    retry at once, the n-th after ``backoff * 2 ** (n - 1)`` seconds, or after the
    pause the answer's ``Retry-After`` header asks for (at most a minute). When the
    retries are spent, the last refused answer raises the data function's
    ``ValueError`` (with ``.response``), the last connection error requests'
    ``ConnectionError``.

    ``session``: a session-like object of your own (for example a caching session)
    to use instead of a new ``requests.Session``; its ``get(url, params=..., headers=...,
    timeout=...)`` is called. quorvex neither changes nor closes it, so retries are
    yours to set up on it: giving ``retries`` with ``session`` is refused.

    ``configure()`` with no arguments restores the default: a plain ``requests.get``
    per call, with no time limit and no retries. The setting applies to the five
    data modules whether they are imported before or after, and to calls from every
    thread. Configuring again closes the session quorvex made before.
    """
    global _configured
    checked = _check_timeout(timeout)
    if isinstance(retries, bool) or not isinstance(retries, int):
        raise TypeError(f"retries must be an int, not {type(retries).__name__}")
    if retries < 0:
        raise ValueError(f"retries must be 0 or more, not {retries}")
    if isinstance(backoff, bool) or not isinstance(backoff, (int, float)):
        raise TypeError(f"backoff must be a number of seconds, not {type(backoff).__name__}")
    if not backoff >= 0:
        raise ValueError(f"backoff must be 0 or more seconds, not {backoff!r}")
    if session is not None:
        if not callable(getattr(session, "get", None)):
            raise TypeError(f"session must have a get() method like requests.Session, not {type(session).__name__}")
        if retries:
            raise ValueError(
                "retries apply to the session quorvex makes; with your own "
                "session, mount a retrying adapter on it instead"
            )
    default = checked is None and retries == 0 and session is None

    with _lock:
        previous = _configured
        if default:
            _configured = None
            for dataset in DATASETS.values():
                module = sys.modules.get(dataset.module)
                if module is not None:
                    module.requests = requests  # type: ignore[attr-defined]
        else:
            if session is None:
                configured = ConfiguredRequests(requests.Session(), checked, _retry(retries, backoff))
            else:
                configured = ConfiguredRequests(session, checked)
            # The modules are imported now, so that one imported later cannot miss
            # the setting: each can be imported only once per process.
            modules = [importlib.import_module(dataset.module) for dataset in DATASETS.values()]
            _configured = configured
            for module in modules:
                module.requests = configured  # type: ignore[attr-defined]
        if previous is not None:
            previous.close()


def configured() -> Optional[ConfiguredRequests]:
    """The object ``configure`` installed, or ``None`` while the default holds."""
    return _configured


class DownloadError(Exception):
    """Some tickers of a ``download`` failed.

    ``errors`` maps each failed ticker to its exception, in the order of the tickers;
    ``table`` is the table of the tickers that succeeded (``None`` if none did). The
    message names every failed ticker with its error.
    """

    def __init__(
        self,
        message: str,
        *,
        table: Optional[pandas.DataFrame] = None,
        errors: Optional[Dict[str, BaseException]] = None,
    ) -> None:
        super().__init__(message)
        self.table = table
        self.errors: Dict[str, BaseException] = dict(errors or {})


def _check_tickers(tickers: Any) -> List[str]:
    if isinstance(tickers, (str, bytes)):
        raise TypeError(f"tickers must be a list of tickers, not one string: write [{tickers!r}]")
    try:
        names = list(tickers)
    except TypeError:
        raise TypeError(f"tickers must be a list of tickers, not {type(tickers).__name__}") from None
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"each ticker must be a str, not {type(name).__name__}: {name!r}")
    # Plain str: the price-bar function accepts nothing else (numpy's str_ included).
    unique = list(dict.fromkeys(str(name) for name in names))
    if not unique:
        raise ValueError("tickers is empty: give at least one ticker")
    return unique


def _progress_bar(progress: Optional[bool], total: int, dataset: str) -> Any:
    if progress is None:
        stream = sys.stderr
        progress = stream is not None and hasattr(stream, "isatty") and stream.isatty()
        if not progress:
            return None
        try:
            import tqdm
        except ImportError:
            return None
    elif not progress:
        return None
    else:
        try:
            import tqdm
        except ImportError:
            raise ImportError(
                "progress=True draws its bar with tqdm, which is not installed: pip install tqdm (or quorvex[progress])"
            ) from None
    return tqdm.tqdm(total=total, desc=dataset, unit="ticker", file=sys.stderr)


def _describe(error: BaseException) -> str:
    text = str(error).replace("\n", "\n    ")
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _combine(tables: Sequence[pandas.DataFrame], keep_index: bool) -> pandas.DataFrame:
    import pandas as pd

    # Empty tables add no rows, and pandas warns about their dtypes in a concat.
    filled = [table for table in tables if len(table)] or list(tables[:1])
    if len(filled) == 1:
        return filled[0] if keep_index else filled[0].reset_index(drop=True)
    with warnings.catch_warnings():
        # A column that is all missing in one ticker's table (a dividend amount
        # that is not known yet): its dtype is ignored, as pandas has always done.
        warnings.filterwarnings("ignore", "The behavior of DataFrame concatenation with empty", FutureWarning)
        return pd.concat(filled, ignore_index=not keep_index)


def download(
    dataset: str,
    tickers: Iterable[str],
    fromDate: str,
    toDate: str,
    period: str = "D",
    unit: float = 1,
    *,
    workers: int = 8,
    progress: Optional[bool] = None,
) -> pandas.DataFrame:
    """Fetch ``dataset`` for every ticker and return one table with a "ticker" column.

    ``dataset`` is "pricebars", "foreign", "dealerDesk", "matchBook" or "dividend";
    its data function is called with each ticker and the other arguments on a pool of
    ``workers`` threads. ``period`` is given to the four time series, ``unit`` to
    "foreign" and "dealerDesk"; for the others they must stay at their defaults.
    The tables follow the order of ``tickers`` (a repeated ticker is fetched once);
    each keeps the shape its function gives, with "ticker" as the first column, and
    the dividend rows are numbered 0, 1, 2, ... across all tickers.

    When some tickers fail, ``DownloadError`` is raised once all have been tried: it
    names each failed ticker with its error and carries the table of the others.
    A progress bar (tqdm) goes to stderr when ``progress`` is true, or, when it is
    None, when stderr is a terminal and tqdm is installed.

    Calls go through whatever ``configure`` set; to reuse connections and bound
    every wait, call ``configure(timeout=...)`` first.
    """
    spec = DATASETS.get(dataset)
    if spec is None:
        raise ValueError(f"unknown dataset {dataset!r}; one of: {', '.join(DATASETS)}")
    if not spec.has_period and period != "D":
        raise ValueError(f"{dataset} has no period; leave period at 'D'")
    if not spec.has_unit and not (type(unit) in (int, float) and unit == 1):
        raise ValueError(f"{dataset} has no unit; leave unit at 1")
    if isinstance(workers, bool) or not isinstance(workers, int):
        raise TypeError(f"workers must be an int, not {type(workers).__name__}")
    if workers < 1:
        raise ValueError(f"workers must be 1 or more, not {workers}")
    names = _check_tickers(tickers)
    function: Callable[..., pandas.DataFrame] = getattr(importlib.import_module(spec.module), spec.function)
    extra: Tuple[Any, ...] = ((period,) if spec.has_period else ()) + ((unit,) if spec.has_unit else ())
    bar = _progress_bar(progress, len(names), dataset)
    workers = min(workers, len(names))
    current = _configured
    if current is not None:
        current.ensure_pool(workers)

    tables: Dict[str, pandas.DataFrame] = {}
    errors: Dict[str, BaseException] = {}
    executor = concurrent.futures.ThreadPoolExecutor(workers, thread_name_prefix="quorvex-download")
    try:
        futures = {executor.submit(function, name, fromDate, toDate, *extra): name for name in names}
        for future in concurrent.futures.as_completed(futures):
            name = futures[future]
            try:
                tables[name] = future.result()
            except Exception as error:  # noqa: BLE001  (each is reported below)
                errors[name] = error
            if bar is not None:
                bar.update(1)
    finally:
        # On an interrupt, tickers not yet started are dropped, not waited for.
        executor.shutdown(wait=True, cancel_futures=True)
        if bar is not None:
            bar.close()

    ordered = []
    for name in names:
        table = tables.get(name)
        if table is not None:
            if "ticker" not in table.columns:
                table.insert(0, "ticker", name)
            ordered.append(table)
    combined = _combine(ordered, keep_index=spec.has_period) if ordered else None
    if not errors:
        assert combined is not None
        return combined
    failed = {name: errors[name] for name in names if name in errors}
    lines = [
        f"{dataset}: {len(failed)} of {len(names)} tickers failed"
        + (f"; the table of the other {len(ordered)} is in .table" if ordered else "")
    ]
    lines += [f"  {name}: {_describe(error)}" for name, error in failed.items()]
    raise DownloadError("\n".join(lines), table=combined, errors=failed) from next(iter(failed.values()))
