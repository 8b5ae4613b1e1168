"""The benchmark's cases: one call expression per data function and path, and the guard.

A case's call is written out as source, so that both the compiled function and its
rendition are called exactly as a caller's code would call them."""

from collections import namedtuple

from quorvex.datasets import DATASETS

# `call` is the expression (the function is `fn`); `answer` says whether the stubbed
# service answers 200; `raises` is the exception the call ends with, or None.
Case = namedtuple("Case", "name module function call answer raises")

DATES = "'FPT', '2024-01-01', '2024-03-31'"
KEYWORDS = "ticker='FPT', fromDate='2024-01-01', toDate='2024-03-31'"

# module, function, extra positional arguments, extra keyword arguments: one per data set
# of the package's registry
DATA_FUNCTIONS = [
    (
        name,
        dataset.function,
        ", {period}" * dataset.has_period + ", 1e9" * dataset.has_unit,
        ", period={period}" * dataset.has_period + ", unit=1e9" * dataset.has_unit,
    )
    for name, dataset in DATASETS.items()
]


def _data_cases():
    for module, function, extra, extra_kw in DATA_FUNCTIONS:
        periods = ("'D'", "'W'") if "{period}" in extra else (None,)
        for period in periods:
            label = f"{function} {period.strip(chr(39))}" if period else function
            yield Case(label, module, function, f"fn({DATES}{extra.format(period=period)})", True, None)
        kw_period = "'W'" if "{period}" in extra else None
        yield Case(
            f"{function} keywords", module, function, f"fn({KEYWORDS}{extra_kw.format(period=kw_period)})", True, None
        )
        yield Case(f"{function} binding error", module, function, "fn('FPT')", True, TypeError)
        yield Case(
            f"{function} refused",
            module,
            function,
            f"fn({DATES}{extra.format(period=chr(39) + 'D' + chr(39))})",
            False,
            ValueError,
        )


CASES = list(_data_cases()) + [
    Case("guarded call", "require_session", "require_session", "fn('FPT', 3, unit=1e9)", True, None),
]

# The real-pandas scenario: functions and periods, and the row counts of the answer.
PANDAS_CASES = [
    Case("get_foreign W", "foreign", "get_foreign", f"fn({DATES}, 'W', 1e9)", True, None),
    Case("get_match_book W", "matchBook", "get_match_book", f"fn({DATES}, 'W')", True, None),
]
PANDAS_ROWS = (10, 1_000, 100_000)


def by_name(names):
    """The cases whose names contain any of `names` (all when `names` is empty)."""
    return [case for case in CASES if not names or any(n in case.name for n in names)]
