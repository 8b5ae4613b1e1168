"""The data-set subcommands: fetch the tables of the tickers asked for and write them."""

from __future__ import annotations

import argparse
import importlib
from typing import TYPE_CHECKING, Any, Dict, List

from quorvex.cli.dates import check_dates, check_period
from quorvex.cli.errors import Failure, TickerFailures
from quorvex.cli.rendering import output_format, write_table
from quorvex.cli.session import Session
from quorvex.datasets import DATASETS

if TYPE_CHECKING:
    import pandas as pd


def run_dataset(options: argparse.Namespace) -> int:
    """The handler of every data set's subcommand: every option checked, then the
    login, the fetch and the output."""
    fmt = output_format(options)
    check_dates(options)
    if getattr(options, "period", "D") != "D":
        check_period(options.period)
    if options.progress:
        try:
            importlib.import_module("tqdm")
        except ImportError:
            raise Failure(
                "--progress draws its bar with tqdm, which is not installed: pip install 'quorvex[progress]'"
            ) from None
    with Session(options):
        try:
            table = fetch(options)
        except TickerFailures as failures:
            # Some tickers failed: keep what the others gave, then name every failure.
            if failures.table is not None and len(failures.table.columns):
                write_table(failures.table, fmt, options.output)
            raise
    write_table(table, fmt, options.output)
    return 0


def fetch(options: argparse.Namespace) -> "pd.DataFrame":
    """The table of every ticker. One ticker gives exactly its data function's table;
    several go through ``quorvex.download``, whose DownloadError carries the table of
    those that succeeded. Failures come out as TickerFailures."""
    from quorvex.remote import DownloadError, download

    dataset = DATASETS[options.command]
    keywords: Dict[str, Any] = {}
    if dataset.has_period:
        keywords["period"] = options.period
    if dataset.has_unit:
        keywords["unit"] = as_unit(options.unit)
    tickers: List[str] = options.tickers
    if len(tickers) == 1:
        function = getattr(importlib.import_module(dataset.module), dataset.function)
        try:
            table: "pd.DataFrame" = function(tickers[0], options.start, options.end, *keywords.values())
            return table
        except Exception as error:
            raise TickerFailures({tickers[0]: error}, 1) from error
    try:
        return download(
            options.command,
            tickers,
            options.start,
            options.end,
            workers=options.workers,
            progress=options.progress,
            **keywords,
        )
    except DownloadError as error:
        raise TickerFailures(error.errors, len(dict.fromkeys(tickers)), error.table) from error


def as_unit(value: float) -> float:
    """A whole unit as an int, as a caller of the function would write it."""
    return int(value) if value.is_integer() else value
