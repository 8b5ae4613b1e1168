"""The range and period of a request, checked before anything is sent: dates as
"YYYY-MM-DD" texts, the first day not after the last, and the period a rule the installed
pandas can resample by. ``download`` and the command line both refuse with these words,
naming the argument as the caller wrote it (``fromDate`` or ``--from``)."""

from __future__ import annotations

import datetime as dt
import re
from typing import Any, Tuple

#: Rules that pandas 2.2 renamed (month, quarter and year ends) and pandas 3 refuses.
RENAMED_RULES = {"M": "ME", "Q": "QE", "Y": "YE", "A": "YE", "BM": "BME", "BQ": "BQE", "BY": "BYE", "BA": "BYE"}
COMMON_RULES = "D, W, ME, QE or YE (or a multiple such as 2W)"


def check_day(value: Any, name: str) -> dt.date:
    """The day ``value`` names: a "YYYY-MM-DD" text (or a ``datetime.date``).

    Raises ValueError "NAME 'TEXT' is not a date: expected YYYY-MM-DD", or TypeError for
    a value that is neither a text nor a date."""
    if isinstance(value, dt.date) and not isinstance(value, dt.datetime):
        return value
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a date text 'YYYY-MM-DD', not {type(value).__name__}")
    try:
        # fromisoformat alone takes "20240101" and, from 3.11 on, "2024-W01-1" too.
        if not re.fullmatch(r"\d{4}-\d{2}-\d{2}", value):
            raise ValueError
        return dt.date.fromisoformat(value)
    except ValueError:
        raise ValueError(f"{name} {value!r} is not a date: expected YYYY-MM-DD") from None


def check_range(first: Any, last: Any, names: Tuple[str, str] = ("fromDate", "toDate")) -> Tuple[dt.date, dt.date]:
    """Both days of a range, the first not after the last ("NAME1 D1 is after NAME2 D2")."""
    start, end = check_day(first, names[0]), check_day(last, names[1])
    if start > end:
        raise ValueError(f"{names[0]} {start} is after {names[1]} {end}")
    return start, end


def check_period(period: Any, name: str = "period") -> None:
    """Refuse a rule the installed pandas cannot resample by, in one line (pandas' own
    message is nested and names its internals); a rule that pandas 2.2 renamed is named
    in its new spelling."""
    if period == "D":
        return
    if not isinstance(period, str):
        raise TypeError(f"{name} must be a str, not {type(period).__name__}")
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
            raise ValueError(
                f"{name} {period!r} is not a rule of pandas {pd.__version__}: write {newer!r} "
                "(pandas 2.2 renamed the month, quarter and year ends)"
            ) from None
        raise ValueError(f"{name} {period!r} is not a pandas resample rule: use {COMMON_RULES}") from None
