"""The command's range and period: ``--from``/``--to`` as checked ISO dates and
``--period`` as a rule the installed pandas can resample by, both refused in the
command's own words before any request."""

from __future__ import annotations

import argparse
import datetime as dt
import re

from quorvex.cli.errors import Failure

#: Rules that pandas 2.2 renamed (month, quarter and year ends) and pandas 3 refuses.
RENAMED_RULES = {"M": "ME", "Q": "QE", "Y": "YE", "A": "YE", "BM": "BME", "BQ": "BQE", "BY": "BYE", "BA": "BYE"}
COMMON_RULES = "D, W, ME, QE or YE (or a multiple such as 2W)"


def check_dates(options: argparse.Namespace) -> None:
    """Turn ``--from``/``--to`` into checked ISO texts (``--to`` defaults to today)."""
    days = []
    for flag, text in (("--from", options.start), ("--to", options.end)):
        if text is None:
            days.append(dt.date.today())
            continue
        try:
            if not re.fullmatch(r"\d{4}-\d{2}-\d{2}", text):
                raise ValueError
            days.append(dt.date.fromisoformat(text))
        except ValueError:
            raise Failure(f"{flag} {text!r} is not a date: expected YYYY-MM-DD") from None
    if days[0] > days[1]:
        raise Failure(f"--from {days[0]} is after --to {days[1]}")
    options.start, options.end = (day.isoformat() for day in days)


def check_period(period: str) -> None:
    """Refuse a rule the installed pandas cannot resample by, in one line of ours (pandas'
    own message is nested and names internals)."""
    if period == "D":
        return
    import warnings

    import pandas as pd
    from pandas.tseries.frequencies import to_offset

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # pandas 2.2's notice of a renamed rule
            to_offset(period)
    except (ValueError, TypeError):
        base = period.lstrip("0123456789")
        if base.upper() in RENAMED_RULES:
            newer = period[: len(period) - len(base)] + RENAMED_RULES[base.upper()]
            raise Failure(
                f"--period {period!r} is not a rule of pandas {pd.__version__}: write {newer!r} "
                "(pandas 2.2 renamed the month, quarter and year ends)"
            ) from None
        raise Failure(f"--period {period!r} is not a pandas resample rule: use {COMMON_RULES}") from None
