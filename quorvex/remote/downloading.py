"""``download``: one data function for many tickers on a pool of threads, the tables
gathered into one."""

from __future__ import annotations

import importlib
import logging
import sys
import threading
import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple

from quorvex import arguments as _arguments
from quorvex import bulk as _bulk
from quorvex import datasets as _registry
from quorvex.config.config import mask_url
from quorvex.remote import configuration as _configuration
from quorvex.remote.answers import hand_over

if TYPE_CHECKING:
    import pandas

log = logging.getLogger("quorvex")
DATASETS = _registry.DATASETS


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
    text = mask_url(str(error)).replace("\n", "\n    ")
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
    bulk: bool = True,
) -> pandas.DataFrame:
    """Fetch dataset for every ticker and return one table with a "ticker" column.

    dataset is "pricebars", "foreign", "dealerDesk", "matchBook" or "dividend"; period goes
    to the four time series, unit to "foreign" and "dealerDesk". fromDate and toDate are
    "YYYY-MM-DD", the first not after the last, and period a rule your pandas resamples by:
    anything else raises ValueError before any request, in the command line's words.
    Tables follow the order of tickers (a repeated ticker is fetched once), on a pool of
    workers threads; the dividend rows are numbered across all tickers.

    When some tickers fail, DownloadError is raised once all were tried: it names each
    failed ticker with its error and carries the others' table. progress: a tqdm bar on
    stderr (None: when stderr is a terminal and tqdm is installed). After
    configure(timeout=...), bulk=True decodes the time series' answers in compiled code
    (the same table). Ctrl-C ends the call at once, dropping the tickers not started.
    """
    spec = DATASETS.get(dataset)
    if spec is None:
        raise ValueError(f"unknown dataset {dataset!r}; one of: {', '.join(DATASETS)}")
    if not spec.has_period and period != "D":
        raise ValueError(f"{dataset} has no period; leave period at 'D'")
    if not spec.has_unit and not (type(unit) in (int, float) and unit == 1):
        raise ValueError(f"{dataset} has no unit; leave unit at 1")
    # Refused here, once, rather than by every ticker's request.
    _arguments.check_range(fromDate, toDate)
    if spec.has_period:
        _arguments.check_period(period)
    if isinstance(workers, bool) or not isinstance(workers, int):
        raise TypeError(f"workers must be an int, not {type(workers).__name__}")
    if workers < 1:
        raise ValueError(f"workers must be 1 or more, not {workers}")
    names = _check_tickers(tickers)
    function: Callable[..., pandas.DataFrame] = getattr(importlib.import_module(spec.module), spec.function)
    extra: Tuple[Any, ...] = ((period,) if spec.has_period else ()) + ((unit,) if spec.has_unit else ())
    bar = _progress_bar(progress, len(names), dataset)
    workers = min(workers, len(names))
    current = _configuration.configured()
    if current is not None:
        current.ensure_pool(workers)
        counted = current.tally.counts()
    path = _bulk.bulk_path(spec, function, current, (fromDate, toDate), period, unit, hand_over) if bulk else None

    def fetch(name: str) -> Any:
        return function(name, fromDate, toDate, *extra)

    tables: Dict[str, Any] = {}
    errors: Dict[str, BaseException] = {}
    pending = iter(names)
    lock = threading.Lock()
    stop = threading.Event()
    # Set once every ticker is in, or at once when a worker meets an error that is not
    # an Exception (it is raised in the caller's thread). The caller's thread sleeps
    # until then rather than waking for every ticker.
    finished = threading.Event()
    arrived: List[Tuple[str, Any, Optional[BaseException]]] = []
    broken: List[BaseException] = []

    def arrive(name: str, table: Any, error: Optional[BaseException]) -> None:
        with lock:
            arrived.append((name, table, error))
            if len(arrived) == len(names) or not isinstance(error, (Exception, type(None))):
                finished.set()

    def work() -> None:
        while not stop.is_set():
            with lock:
                name = next(pending, None)
            if name is None:
                return
            try:
                table = fetch(name)
            except BaseException as error:  # noqa: BLE001  (handed to the caller's thread)
                arrive(name, None, error)
            else:
                arrive(name, table, None)

    def drive() -> None:
        assert path is not None
        try:
            path.drive(names, workers, arrive, stop)
        except BaseException as error:  # noqa: BLE001  a fault of the path's own, raised in the caller's thread
            with lock:
                broken.append(error)
                finished.set()

    # Daemon threads of its own rather than a ThreadPoolExecutor, whose workers the
    # interpreter joins at exit: on Ctrl-C the tickers not started are dropped, and a
    # call still waiting for the service is abandoned, never keeping the process alive.
    # The bulk path's calls all run on one thread.
    if path is not None:
        threading.Thread(target=drive, name="quorvex-download", daemon=True).start()
    else:
        for number in range(workers):
            threading.Thread(target=work, name=f"quorvex-download-{number}", daemon=True).start()
    try:
        shown = 0
        # With a bar, a look ten times a second to move it.
        while not finished.wait(None if bar is None else 0.1):
            assert bar is not None
            # One read of the length: it may grow between two.
            count = len(arrived)
            bar.update(count - shown)
            shown = count
        with lock:
            results = list(arrived)
            if broken:
                raise broken[0]
        for name, table, failure in results:
            if failure is None:
                tables[name] = table
            elif isinstance(failure, Exception):
                errors[name] = failure
            else:
                raise failure
        if bar is not None:
            bar.update(len(results) - shown)
    finally:
        stop.set()
        if bar is not None:
            bar.close()

    if current is not None and log.isEnabledFor(logging.INFO):
        sent, retried, stored = (now - then for now, then in zip(current.tally.counts(), counted))
        log.info(
            "download %s: %d tickers, %d requests sent, %d answered from the store, %d retried, %d failed",
            dataset,
            len(names),
            sent,
            stored,
            retried,
            len(errors),
        )
    ordered = None if path is None else path.tables(names, tables)
    if ordered is None:
        ordered = []
        for name in names:
            table = tables.get(name)
            if table is not None:
                if path is not None:
                    table = path.table_of(name, table)
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
        + (f"; the table of the other {len(tables)} is in .table" if ordered else "")
    ]
    lines += [f"  {name}: {_describe(error)}" for name, error in failed.items()]
    raise DownloadError("\n".join(lines), table=combined, errors=failed) from next(iter(failed.values()))
