"""The command's output: a terminal table, CSV, JSON or Parquet, to stdout or a file."""

from __future__ import annotations

import argparse
import importlib
import json
import math
import os
import sys
from typing import TYPE_CHECKING, Any, List, Optional

from quorvex.cli.errors import Failure

if TYPE_CHECKING:
    import pandas as pd

FORMATS = ("table", "csv", "json", "parquet")
#: Output format chosen by the suffix of ``-o FILE`` (anything else: CSV).
SUFFIX_FORMATS = {".csv": "csv", ".json": "json", ".parquet": "parquet", ".txt": "table"}


def output_format(options: argparse.Namespace) -> str:
    if options.format:
        chosen: str = options.format
    elif options.output:
        chosen = SUFFIX_FORMATS.get(os.path.splitext(options.output)[1].lower(), "csv")
    else:
        chosen = "table" if sys.stdout.isatty() else "csv"
    return chosen


def render(table: "pd.DataFrame", fmt: str) -> bytes:
    """The table as UTF-8 text in format ``fmt`` ("table", "csv" or "json").

    CSV and JSON carry the index as the first column when it is named (the "DateTime"
    of the time series), not the plain row numbers of the dividend table, so that
    ``pandas.read_csv(..., index_col="DateTime", parse_dates=True)`` gives the table back.
    """
    if fmt == "table":
        text: str = table.to_string()
        return (text + "\n").encode()
    keep_index = table.index.name is not None
    if fmt == "csv":
        text = table.to_csv(index=keep_index)
        return text.encode()
    if fmt == "json":
        return _to_json(table.reset_index() if keep_index else table).encode()
    raise ValueError(f"unknown format {fmt!r}")


def _to_json(frame: "pd.DataFrame") -> str:
    """An array of one object per row, one row per line. Times are ISO texts (the date
    alone when a column holds only midnights); NaN, NaT and infinities are null; numbers
    keep every digit."""
    from pandas.api.types import is_datetime64_any_dtype

    names = [str(name) for name in frame.columns]
    columns: List[List[Any]] = []
    for _, column in frame.items():
        if is_datetime64_any_dtype(column):
            known = column.dropna()
            midnight = bool((known == known.dt.normalize()).all())
            column = column.dt.strftime("%Y-%m-%d" if midnight else "%Y-%m-%dT%H:%M:%S")
        columns.append([_json_cell(cell) for cell in column.tolist()])
    rows = (
        json.dumps(dict(zip(names, cells)), ensure_ascii=False, allow_nan=False, default=_json_default)
        for cells in zip(*columns)
    )
    body = ",\n".join(rows)
    return f"[\n{body}\n]\n" if body else "[]\n"


def _json_cell(cell: Any) -> Any:
    if isinstance(cell, float) and not math.isfinite(cell):
        return None
    if cell is None or (type(cell).__name__ in ("NaTType", "NAType")):
        return None
    return cell


def _json_default(value: Any) -> Any:
    """numpy scalars and timestamps left in object columns."""
    if hasattr(value, "isoformat"):
        return value.isoformat()
    if hasattr(value, "item"):
        return _json_cell(value.item())
    return str(value)


def write_table(table: "pd.DataFrame", fmt: str, path: Optional[str]) -> None:
    """Write ``table`` to ``path``, or to stdout when ``path`` is None."""
    if fmt == "parquet":
        assert path is not None
        try:
            # Checked here: pandas' own message is several lines long.
            importlib.import_module("pyarrow")
        except ImportError:
            raise Failure("writing Parquet needs pyarrow: pip install 'quorvex[parquet]'") from None
        table.to_parquet(path)
        return
    data = render(table, fmt)
    if path is None:
        if fmt == "table" and sys.stdout.encoding:
            # A terminal that cannot show Vietnamese gets replacement marks, not an error.
            data = data.decode().encode(sys.stdout.encoding, "replace")
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    try:
        with open(path, "wb") as file:
            file.write(data)
    except OSError as error:
        raise Failure(f"cannot write {path}: {error.strerror or error}") from None
