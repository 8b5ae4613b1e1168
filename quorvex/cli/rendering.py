"""The command's output: a terminal table, CSV, JSON or Parquet, to stdout or a file."""

from __future__ import annotations

import argparse
import importlib
import json
import math
import os
import secrets
import stat
import sys
from typing import TYPE_CHECKING, Any, BinaryIO, Callable, List, Optional, Set

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
    """Write ``table`` to ``path``, or to stdout when ``path`` is None.

    A file is replaced whole: see ``replace_whole``."""
    if fmt == "parquet":
        assert path is not None
        try:
            # Checked here: pandas' own message is several lines long.
            importlib.import_module("pyarrow")
        except ImportError:
            raise Failure("writing Parquet needs pyarrow: pip install 'quorvex[parquet]'") from None
        replace_whole(path, table.to_parquet)
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
    replace_whole(path, lambda file: file.write(data))


#: Temporary files being written, removed by ``discard_pending`` should the process end
#: before their writer could clean up (the command's second Ctrl-C).
_pending: Set[str] = set()


def replace_whole(path: str, write: Callable[[BinaryIO], Any]) -> None:
    """``write(file)`` into a new file beside ``path``, put in its place only once it is
    complete and on disk: a failure or an interrupt at any moment leaves the old file as
    it was, and no temporary file behind. The file keeps the mode (and owner, where
    allowed) of the one it replaces; a new one gets the umask's mode, as ``open`` gives.
    A link is followed: the file it leads to is replaced. What is not a regular file (a
    terminal, a pipe, ``/dev/null``) is written to as it is."""
    target = os.path.realpath(path)
    try:
        old: Optional[os.stat_result] = os.stat(target)
    except FileNotFoundError:
        old = None
    except OSError as error:
        raise Failure(f"cannot write {path}: {error.strerror or error}") from None
    if old is not None and not stat.S_ISREG(old.st_mode):
        try:
            with open(target, "wb") as file:
                write(file)
        except OSError as error:
            raise Failure(f"cannot write {path}: {error.strerror or error}") from None
        return
    folder, name = os.path.split(target)
    folder = folder or "."
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NOFOLLOW", 0)
    temporary = ""
    try:
        # Named at random beside the target (the rename stays in one file system) and
        # made only where no file is: the name is ours to remove whatever happens next.
        temporary = os.path.join(folder, f".{name}.{secrets.token_hex(6)}.part")
        _pending.add(temporary)
        try:
            descriptor = os.open(temporary, flags, 0o666)
        except FileExistsError:  # not ours (a name drawn twice in 2**48): left alone
            _pending.discard(temporary)
            temporary = ""
            raise Failure(f"cannot write {path}: a temporary file of that name is in the way; try again") from None
        with open(descriptor, "wb") as file:
            if old is not None:
                os.fchmod(file.fileno(), stat.S_IMODE(old.st_mode))
                if (old.st_uid, old.st_gid) != (os.geteuid(), os.getegid()):
                    try:
                        os.fchown(file.fileno(), old.st_uid, old.st_gid)
                    except OSError:
                        pass  # only root may give a file away: it is the writer's now
            write(file)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
        _pending.discard(temporary)
        temporary = ""
        _sync_folder(folder)
    except OSError as error:
        raise Failure(f"cannot write {path}: {error.strerror or error}") from None
    finally:
        if temporary:
            _remove(temporary)


def _remove(temporary: str) -> None:
    try:
        os.unlink(temporary)
    except OSError:
        pass
    _pending.discard(temporary)


def discard_pending() -> None:
    """Remove the temporary files still being written (the process is about to end)."""
    for temporary in list(_pending):
        _remove(temporary)


def _sync_folder(folder: str) -> None:
    """Put the rename on disk too; a file system that cannot sync a folder is let be."""
    try:
        descriptor = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)
