"""``download``'s bulk path for the time series.

Each worker sends the request its data function would send, through the object
``configure`` installed (time limits, retries, body cap, store and rate keep their
meaning), and the compiled decoder (``quorvex._rows``) turns an answer of the regular
shape into typed columns without holding the interpreter lock. Once every ticker is
in, one table is made for all of them, with the dates converted once.

Everything else goes through the data function itself, with the answer already
fetched handed to it (the configured layer's ``hand_over``), so that it makes its exact table or raises
its exact error without a second request: a refusal, an empty answer, an answer the
decoder declines (text figures, other keys, other date forms, ...), a failed request.
When the tickers' tables cannot be joined into one as they are (other columns, another
date resolution), each decoded ticker gets its own table, made the way the data function
makes it, and they are joined as ``download`` joins the data functions' tables.

For a period other than "D", each worker regroups its ticker's rows as the data function
does, from the typed columns rather than from the decoded JSON.

The path is taken only where it cannot be told apart from calling the data functions:
the four time series, a unit that is an int or a float, ``configure`` in force with
quorvex's own session, and none of the module's globals rebound.
"""

import sys
import threading
from typing import Any, Callable, ContextManager, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from quorvex import _rows
from quorvex.datasets import DATE_INDEX, Dataset
from quorvex.remote.multi import Done
from quorvex.remote.steps import Steps

#: What the decoder gives for one ticker: (keys, rows, form, first date, seconds, columns).
Decoded = Tuple[Tuple[str, ...], int, int, str, bytes, Tuple[Tuple[str, bytes], ...]]
#: What a worker gives for one ticker: its decoded columns, or its data function's table.
Part = Union[Decoded, Any]


class BulkPath:
    """The bulk path of one ``download`` call; ``drive`` runs on a thread of its own."""

    def __init__(
        self,
        spec: Dataset,
        module: Any,
        function: Callable[..., Any],
        transport: Any,
        arguments: Tuple[str, str],
        extra: Tuple[Any, ...],
        period: str,
        unit: Any,
        hand_over: Callable[[str, Dict[str, str], Any], ContextManager[None]],
    ) -> None:
        self.spec = spec
        self.hand_over = hand_over
        self.module = module
        self.function = function
        self.transport = transport
        self.fromDate, self.toDate = arguments
        self.extra = extra
        self.period = period
        self.unit = unit
        self.url = module.base_url + spec.endpoint
        # Which dtype pandas' parse of each date form gives (its resolution depends on
        # the pandas release): asked once per form, of the first date of that form.
        self._date_dtypes: Dict[int, Any] = {}

    def drive(self, names: Iterable[str], width: int, done: Done, stop: threading.Event) -> None:
        """Every ticker's part (``steps``), at most ``width`` at once, all on this thread
        (one libcurl multi handle): each one's part or error handed to ``done`` as it comes."""
        with self.transport.session.many() as calls:
            calls.run(((name, self.steps(name)) for name in names), width, done, stop)

    def steps(self, name: str) -> Steps[Part]:
        """The steps of ``name``'s part: the request's exchanges and pauses, then its
        decoded columns or its data function's table (or its error, raised)."""
        if self.module.requests is not self.transport:
            # configure() was called again meanwhile: the data function follows it.
            return self.function(name, self.fromDate, self.toDate, *self.extra)
        params = {"ticker": name, "fromDate": self.fromDate, "toDate": self.toDate}
        try:
            headers = self.module.Client()._get_headers()
        except Exception:  # noqa: BLE001  the data function meets it again and raises it
            return self.function(name, self.fromDate, self.toDate, *self.extra)
        try:
            answer: Any = yield from self.transport.get_steps(self.url, params, warn_at=3, headers=headers)
        except Exception as error:  # noqa: BLE001  raised by the data function's own request
            answer = error
        else:
            if answer.status_code == 200:
                decoded = _rows.decode(answer.content, DATE_INDEX, self.spec.figures)
                if decoded is not None:
                    # Another period is regrouped here, as the data function regroups
                    # it (its warnings and errors are this ticker's).
                    return decoded if self.period == "D" else self._regrouped(name, decoded)
        with self.hand_over(self.url, params, answer):
            return self.function(name, self.fromDate, self.toDate, *self.extra)

    def tables(self, names: Sequence[str], parts: Dict[str, Part]) -> Optional[List[Any]]:
        """One table of every ticker whose part is decoded, when they can be one (the
        same keys and date resolution), in the order of ``names``; else None."""
        entries = [(name, parts[name]) for name in names if name in parts]
        if not entries or not all(isinstance(part, tuple) for _, part in entries):
            return None
        keys = entries[0][1][0]
        dtype = self._date_dtype(entries[0][1])
        if any(part[0] != keys or self._date_dtype(part) != dtype for _, part in entries):
            return None
        return [self._frame(entries)]

    def table_of(self, name: str, part: Part) -> Any:
        """The table of one ticker: its data function's, or made of its decoded columns
        as the data function makes it ("ticker" first, as ``download`` adds it)."""
        return self._frame([(name, part)]) if isinstance(part, tuple) else part

    def _regrouped(self, name: str, part: Decoded) -> Any:
        table = REGROUPED[self.spec.function](self._frame([(name, part)], daily=True), self.period)
        table.insert(0, "ticker", name)
        return self._scaled(table)

    def _scaled(self, table: Any) -> Any:
        if self.spec.scaled:
            scaled = list(self.spec.scaled)
            table[scaled] = table[scaled] / self.unit
        return table

    def _date_dtype(self, part: Decoded) -> Any:
        form = part[2]
        dtype = self._date_dtypes.get(form)
        if dtype is None:
            import pandas as pd

            dtype = self._date_dtypes[form] = pd.to_datetime(pd.Series([part[3]])).dtype
        return dtype

    def _frame(self, entries: List[Tuple[str, Decoded]], daily: bool = False) -> Any:
        """The table of the tickers' rows, as the data functions make it for period "D"
        ("ticker" first); ``daily``: the rows alone, before "ticker" and the unit."""
        import numpy as np
        import pandas as pd

        first = entries[0][1]
        counts = [part[1] for _, part in entries]
        total = sum(counts)
        seconds = [np.frombuffer(part[4], np.int64) for _, part in entries]
        # One copy of the dates where there is one ticker, and none more where the dtype
        # is seconds already.
        stamps = (np.concatenate(seconds) if len(seconds) > 1 else seconds[0]).view("datetime64[s]")
        index = pd.DatetimeIndex(stamps.astype(self._date_dtype(first), copy=len(seconds) == 1), name=DATE_INDEX)
        figures = [key for key in first[0] if key != DATE_INDEX]
        # As pandas joins an int64 and a float64 column: every cell as float64.
        dtypes = [
            np.int64 if all(part[5][at][0] == "i" for _, part in entries) else np.float64 for at in range(len(figures))
        ]
        # Figures of one dtype are filled into one block, which pandas takes as it is
        # (it would copy a dict's columns into such a block).
        block = np.empty((len(figures), total), dtypes[0]) if figures and len(set(dtypes)) == 1 else None
        columns: Dict[str, Any] = {}
        for at, key in enumerate(figures):
            column = columns[key] = np.empty(total, dtypes[at]) if block is None else block[at]
            cells = [
                np.frombuffer(data, np.int64 if kind == "i" else np.float64)
                for kind, data in (p[5][at] for _, p in entries)
            ]
            np.concatenate(cells, out=column)
        if block is not None:
            frame = pd.DataFrame(block.T, index=index, columns=figures, copy=False)
        else:
            frame = pd.DataFrame(columns, index=index)
        if not daily:
            frame.insert(0, "ticker", np.repeat(np.array([name for name, _ in entries], dtype=object), counts))
        return frame if daily else self._scaled(frame)


def _matches(table: Any, period: str) -> Any:
    counts = ["buyCount", "buyVolume", "sellCount", "sellVolume"]
    table = table.resample(period)[counts].sum()
    return table.loc[~table[counts].eq(0).all(axis=1)]


#: Each time series' regrouping of its daily rows into another period: the same steps as
#: its data function's (the bulk path's tests hold the two tables equal).
REGROUPED: Dict[str, Callable[[Any, str], Any]] = {
    "get_pricebars": lambda table, period: table.resample(period).agg(
        {"Open": "first", "High": "max", "Low": "min", "Close": "last", "Volume": "sum"}
    ),
    "get_foreign": lambda table, period: table.resample(period).agg(
        {
            "Close": "last",
            "buyForeignVolume": "sum",
            "sellForeignVolume": "sum",
            "buyForeignValue": "sum",
            "sellForeignValue": "sum",
            "netForeignValue": "sum",
        }
    ),
    "get_dealerDesk": lambda table, period: table.resample(period)[["dealerDeskNetValue"]].sum(),
    "get_match_book": _matches,
}


def bulk_path(
    spec: Dataset,
    function: Callable[..., Any],
    configured: Any,
    arguments: Tuple[str, str],
    period: Any,
    unit: Any,
    hand_over: Callable[[str, Dict[str, str], Any], ContextManager[None]],
) -> Optional[BulkPath]:
    """The bulk path of a ``download`` call, or None where it could be told apart from
    calling the data functions."""
    if configured is None or not configured.owns_session or not spec.is_series:
        return None
    if period != "D" and (type(period) is not str or spec.function not in REGROUPED):
        return None
    if spec.has_unit and type(unit) not in (int, float):
        return None
    module = sys.modules.get(spec.module)
    if module is None or getattr(module, spec.function, None) is not function:
        return None
    if not _unchanged(module, configured):
        return None
    extra = (period,) + ((unit,) if spec.has_unit else ())
    return BulkPath(spec, module, function, configured, arguments, extra, period, unit, hand_over)


def _unchanged(module: Any, configured: Any) -> bool:
    """Whether the module's globals are the ones its data function is written against."""
    from quorvex.config import config
    from quorvex.process_client.login import Client

    names = vars(module)
    base_url = names.get("base_url")
    return (
        names.get("requests") is configured
        and names.get("pd") is sys.modules.get("pandas")
        and names.get("np", sys.modules.get("numpy")) is sys.modules.get("numpy")
        and names.get("Client") is Client
        and type(base_url) is str
        and base_url == config.base_url
    )
