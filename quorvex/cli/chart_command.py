"""``quorvex chart``: candlesticks of one ticker's price bars, with the panels of the
data sets asked for with ``--with`` (those with a chart panel in the registry)."""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from typing import TYPE_CHECKING

from quorvex.cli.dates import check_dates, check_period
from quorvex.cli.errors import Failure, TickerFailures
from quorvex.cli.session import Session
from quorvex.datasets import CHART_PANELS, DATASETS

if TYPE_CHECKING:
    import pandas as pd


def run_chart(options: argparse.Namespace) -> int:
    """The handler of ``chart``: every option checked (the range, the panels, the period,
    matplotlib and the image's type), then the fetches and the drawing."""
    check_dates(options)
    # --with foreign --with matchBook, or --with foreign,matchBook
    options.panels = [name for text in options.panels for name in text.split(",") if name]
    unknown = [name for name in options.panels if name not in CHART_PANELS]
    if unknown:
        raise Failure(
            f"--with {unknown[0]!r} is not a data set the chart can show (choose from {', '.join(CHART_PANELS)})"
        )
    check_period(options.period)
    # Before any request, so that a missing matplotlib or a wrong file type costs no wait.
    from quorvex import chart

    try:
        chart.require_matplotlib()
    except chart.MissingMatplotlib as error:
        raise Failure(str(error)) from None
    path = options.output or f"{options.ticker}.png"
    _check_image_type(path)
    with Session(options):
        try:
            bars = _fetch("pricebars", options)
            panels = {name: _fetch(name, options) for name in dict.fromkeys(options.panels)}
        except Exception as error:
            raise TickerFailures({options.ticker: error}, 1) from error
    if not len(bars):
        raise Failure(f"no price bars for {options.ticker} from {options.start} to {options.end}")
    try:
        chart.draw(
            path,
            bars,
            ticker=options.ticker,
            start=options.start,
            end=options.end,
            period=options.period,
            panels=panels,
            size=(options.width or options.size[0], options.height or options.size[1]),
        )
    except OSError as error:
        raise Failure(f"cannot write {path}: {error.strerror or error}") from None
    print(f"chart written to {path}", file=sys.stderr)
    return 0


def _fetch(name: str, options: argparse.Namespace) -> pd.DataFrame:
    dataset = DATASETS[name]
    function = getattr(importlib.import_module(dataset.module), dataset.function)
    extra = (options.period,) * dataset.has_period + (1,) * dataset.has_unit
    table: pd.DataFrame = function(options.ticker, options.start, options.end, *extra)
    return table


def _check_image_type(path: str) -> None:
    """Refuse a file whose suffix names no image type matplotlib writes."""
    from matplotlib.backend_bases import FigureCanvasBase

    suffix = os.path.splitext(path)[1].lower().lstrip(".")
    types = FigureCanvasBase.get_supported_filetypes()
    if suffix not in types:
        shown = f"'.{suffix}'" if suffix else "no suffix"
        others = ", ".join("." + name for name in sorted(types) if name not in ("png", "svg", "pdf"))
        raise Failure(
            f"-o {path}: {shown} is not an image type the chart can write; "
            f"end the name with .png, .svg or .pdf (or {others})"
        )
