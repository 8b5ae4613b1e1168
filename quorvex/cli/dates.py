"""The command's range and period: ``--from``/``--to`` as checked ISO dates and
``--period`` as a rule the installed pandas can resample by, both refused in the
command's own words before any request (the words ``download`` uses, with the
options' names)."""

from __future__ import annotations

import argparse
import datetime as dt

from quorvex import arguments
from quorvex.cli.errors import Failure


def check_dates(options: argparse.Namespace) -> None:
    """Turn ``--from``/``--to`` into checked ISO texts (``--to`` defaults to today)."""
    end = dt.date.today() if options.end is None else options.end
    try:
        days = arguments.check_range(options.start, end, ("--from", "--to"))
    except ValueError as error:
        raise Failure(str(error)) from None
    options.start, options.end = (day.isoformat() for day in days)


def check_period(period: str) -> None:
    """Refuse a rule the installed pandas cannot resample by, in one line."""
    try:
        arguments.check_period(period, "--period")
    except ValueError as error:
        raise Failure(str(error)) from None
