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


class Decoded:
    """One ticker's answer as the decoder gives it: its keys, its number of rows, the
    form of its dates and the first of them, the seconds of its dates and the cells of
    each figure (kind "i" or "f", 8 bytes a cell), which ``Gathered`` moves into the
    table's buffers."""

    __slots__ = ("keys", "rows", "form", "first", "seconds", "columns")

    def __init__(
        self,
        keys: Tuple[str, ...],
        rows: int,
        form: int,
        first: str,
        seconds: Any,
        columns: Tuple[Tuple[str, Any], ...],
    ) -> None:
        self.keys, self.rows, self.form, self.first = keys, rows, form, first
        self.seconds, self.columns = seconds, columns


#: What a call gives for one ticker: its decoded answer, or its data function's table.
Part = Union[Decoded, Any]


class Gathered:
    """The decoded tickers' cells, copied in the order of the names into one buffer of
    every figure and one of the dates, as soon as the tickers before them are in; the
    table of them all is made of these buffers. The decoder's bytes of a ticker go as
    soon as it is copied: held until the end, they were as large as the table, and on
    a long range the first touch of that much memory cost as much CPU as decoding it."""

    def __init__(self, names: Sequence[str]) -> None:
        self.count = len(names)
        self.position = {name: at for at, name in enumerate(names)}
        self.waiting: Dict[int, Optional[Part]] = {}
        self.next = 0
        self.parts: List[Decoded] = []
        self.offsets: List[int] = []
        self.used = 0
        self.cells: Any = None
        self.seconds: Any = None
        self._rows: List[memoryview] = []
        self._seconds = memoryview(b"")

    def arrived(self, name: str, part: Optional[Part]) -> None:
        """``name``'s outcome (None: an error): it and the tickers after it that are in
        are copied once every ticker before it is in."""
        self.waiting[self.position[name]] = part
        while self.next in self.waiting:
            part = self.waiting.pop(self.next)
            self.next += 1
            if isinstance(part, Decoded):
                self._take(part)

    def holds(self, entries: List[Tuple[str, Decoded]]) -> bool:
        """Whether the buffers hold the cells of ``entries``, all of them, in order."""
        return len(entries) == len(self.parts) and all(part is held for (_, part), held in zip(entries, self.parts))

    def _take(self, part: Decoded) -> None:
        rows = part.rows
        if self.cells is None or self.used + rows > len(self.seconds):
            self._grow(rows, len(part.columns))
        # Bytes copied between memoryviews: a short ticker costs little more than a call.
        start, end = self.used * 8, (self.used + rows) * 8
        self._seconds[start:end] = part.seconds
        columns = []
        for row, (kind, data) in zip(self._rows, part.columns):
            row[start:end] = data  # the cells' bits, whatever their kind
            columns.append((kind, row[start:end]))
        part.seconds, part.columns = self._seconds[start:end], tuple(columns)
        self.parts.append(part)
        self.offsets.append(self.used)
        self.used += rows

    def _grow(self, rows: int, figures: int) -> None:
        import numpy as np

        # Room for as many rows a ticker as the first one has (memory never written is
        # never touched), twice as much again when that is short.
        size = max(self.used + rows, rows * self.count if self.cells is None else 2 * len(self.seconds))
        cells, seconds = np.empty((figures, size), np.int64), np.empty(size, np.int64)
        if self.cells is not None:
            cells[:, : self.used] = self.cells[:, : self.used]
            seconds[: self.used] = self.seconds[: self.used]
        self.cells, self.seconds = cells, seconds
        self._rows = [memoryview(row).cast("B") for row in cells]
        self._seconds = memoryview(seconds).cast("B")
        for part, first in zip(self.parts, self.offsets):
            start, end = first * 8, (first + part.rows) * 8
            part.seconds = self._seconds[start:end]
            part.columns = tuple((kind, row[start:end]) for row, (kind, _) in zip(self._rows, part.columns))


# The cells divided at a time where they lie (a division of a whole column would
# first copy it: its cells and its quotients share their memory).
_SLICE = 1 << 16


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
        self._gathered: Optional[Gathered] = None

    def drive(self, names: Iterable[str], width: int, done: Done, stop: threading.Event) -> None:
        """Every ticker's part (``steps``), at most ``width`` at once, all on this thread
        (one libcurl multi handle): each one's part or error handed to ``done`` as it comes."""
        names = list(names)
        gathered = self._gathered = Gathered(names)

        def arrived(name: str, part: Any, error: Optional[BaseException]) -> None:
            gathered.arrived(name, part if error is None else None)
            done(name, part, error)

        with self.transport.session.many() as calls:
            calls.run(((name, self.steps(name)) for name in names), width, arrived, stop)

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
                cells = _rows.decode(answer.content, DATE_INDEX, self.spec.figures)
                if cells is not None:
                    decoded = Decoded(*cells)
                    # Another period is regrouped here, as the data function regroups
                    # it (its warnings and errors are this ticker's).
                    return decoded if self.period == "D" else self._regrouped(name, decoded)
        with self.hand_over(self.url, params, answer):
            return self.function(name, self.fromDate, self.toDate, *self.extra)

    def tables(self, names: Sequence[str], parts: Dict[str, Part]) -> Optional[List[Any]]:
        """One table of every ticker whose part is decoded, when they can be one (the
        same keys and date resolution), in the order of ``names``; else None."""
        entries = [(name, parts[name]) for name in names if name in parts]
        if not entries or not all(isinstance(part, Decoded) for _, part in entries):
            return None
        keys = entries[0][1].keys
        dtype = self._date_dtype(entries[0][1])
        if any(part.keys != keys or self._date_dtype(part) != dtype for _, part in entries):
            return None
        if self._gathered is not None and self._gathered.holds(entries):
            return [self._gathered_frame(entries)]
        return [self._frame(entries)]

    def table_of(self, name: str, part: Part) -> Any:
        """The table of one ticker: its data function's, or made of its decoded columns
        as the data function makes it ("ticker" first, as ``download`` adds it)."""
        return self._frame([(name, part)]) if isinstance(part, Decoded) else part

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
        dtype = self._date_dtypes.get(part.form)
        if dtype is None:
            import pandas as pd

            dtype = self._date_dtypes[part.form] = pd.to_datetime(pd.Series([part.first])).dtype
        return dtype

    def _frame(self, entries: List[Tuple[str, Decoded]], daily: bool = False) -> Any:
        """The table of the tickers' rows, as the data functions make it for period "D"
        ("ticker" first); ``daily``: the rows alone, before "ticker" and the unit."""
        import numpy as np
        import pandas as pd

        first = entries[0][1]
        counts = [part.rows for _, part in entries]
        total = sum(counts)
        seconds = [np.frombuffer(part.seconds, np.int64) for _, part in entries]
        # One copy of the dates where there is one ticker, and none more where the dtype
        # is seconds already.
        stamps = (np.concatenate(seconds) if len(seconds) > 1 else seconds[0]).view("datetime64[s]")
        index = pd.DatetimeIndex(stamps.astype(self._date_dtype(first), copy=len(seconds) == 1), name=DATE_INDEX)
        figures = [key for key in first.keys if key != DATE_INDEX]
        # As pandas joins an int64 and a float64 column: every cell as float64.
        dtypes = [
            np.int64 if all(part.columns[at][0] == "i" for _, part in entries) else np.float64
            for at in range(len(figures))
        ]
        # Figures of one dtype are filled into one block, which pandas takes as it is
        # (it would copy a dict's columns into such a block).
        block = np.empty((len(figures), total), dtypes[0]) if figures and len(set(dtypes)) == 1 else None
        columns: Dict[str, Any] = {}
        for at, key in enumerate(figures):
            column = columns[key] = np.empty(total, dtypes[at]) if block is None else block[at]
            cells = [
                np.frombuffer(data, np.int64 if kind == "i" else np.float64)
                for kind, data in (p.columns[at] for _, p in entries)
            ]
            np.concatenate(cells, out=column)
        if block is not None:
            frame = pd.DataFrame(block.T, index=index, columns=figures, copy=False)
        else:
            frame = pd.DataFrame(columns, index=index)
        if not daily:
            frame.insert(0, "ticker", self._tickers([name for name, _ in entries], counts))
        return frame if daily else self._scaled(frame)

    def _tickers(self, names: List[str], counts: List[int]) -> Any:
        """The "ticker" column: each name ``counts`` times, of the dtype pandas gives a
        column of names (taken from an array of the names, not checked cell by cell)."""
        import numpy as np
        import pandas as pd

        column = pd.Series(np.array(names, dtype=object))
        if isinstance(column.dtype, np.dtype):  # object
            return np.repeat(column.to_numpy(), counts)
        return column.array.take(np.repeat(np.arange(len(names)), counts))

    def _gathered_frame(self, entries: List[Tuple[str, Decoded]]) -> Any:
        """``_frame`` of every ticker, made of the buffers ``Gathered`` filled: its
        columns are those buffers, converted and scaled where they lie."""
        import numpy as np
        import pandas as pd

        gathered = self._gathered
        assert gathered is not None
        first, total = entries[0][1], gathered.used
        cells = gathered.cells
        if 2 * total < cells.shape[1]:
            # Far more room than rows (the first ticker had many more than the others):
            # the table's own buffer is its size.
            cells = cells[:, :total].copy()
        stamps = gathered.seconds[:total].view("datetime64[s]")
        index = pd.DatetimeIndex(stamps.astype(self._date_dtype(first), copy=False), name=DATE_INDEX)
        figures = [key for key in first.keys if key != DATE_INDEX]
        columns: Dict[str, Any] = {}
        for at, key in enumerate(figures):
            row = cells[at, :total]
            kinds = {part.columns[at][0] for part in gathered.parts}
            column = row if kinds == {"i"} else row.view(np.float64)
            if len(kinds) > 1:
                # As pandas joins an int64 and a float64 column: the int64 cells as float64.
                for part, start in zip(gathered.parts, gathered.offsets):
                    if part.columns[at][0] == "i":
                        column[start : start + part.rows] = row[start : start + part.rows]
            if key in self.spec.scaled:
                # The division of ``_scaled``, written where the cells are, a slice at a time.
                scaled = row.view(np.float64)
                for start in range(0, total, _SLICE):
                    np.true_divide(column[start : start + _SLICE], self.unit, out=scaled[start : start + _SLICE])
                column = scaled
            columns[key] = column
        dtypes = {column.dtype for column in columns.values()}
        if len(dtypes) == 1:
            # One block, as ``_frame`` makes it: the buffer of the figures as it is.
            block = cells[:, :total].view(dtypes.pop())
            frame = pd.DataFrame(block.T, index=index, columns=figures, copy=False)
        else:
            frame = pd.DataFrame(columns, index=index, copy=False)
        frame.insert(0, "ticker", self._tickers([name for name, _ in entries], [part.rows for part in gathered.parts]))
        return frame


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
