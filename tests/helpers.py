"""Reference-leak check for the tests: repeated calls must not grow memory.

``assert_no_leaks(fn, *args, expect=None, **kwargs)`` calls ``fn`` many times
and fails if the calls leave references or memory blocks behind. Against the
pytest-httpserver server use the ``assert_no_leaks`` fixture of conftest
instead: that server logs every request it serves, and the fixture empties
the log before each measurement.
"""

import gc
import sys
import time


class LeakCheck:
    """A configured leak check; calling it checks one function.

    After a short warm-up the check measures rounds of ``calls`` calls, each
    round between two ``gc.collect()``:

    - ``sys.getallocatedblocks()``: a leak of one object per call grows it by
      about ``calls`` in every round;
    - ``sys.getrefcount`` of every argument object: a leaked or stolen
      reference changes it by about ``calls`` in every round;
    - ``sys.gettotalrefcount()``, on debug builds only: catches leaked
      references to any object, such as a str or tuple made inside the call.

    A figure that moves in one round is not yet a leak. pandas, requests and
    the interpreter fill caches over the first few hundred calls, about one
    block per call until they are full, and a server thread in the same
    process may still be freeing its last answer. So the check passes as soon
    as two rounds in a row stay under the limits and every argument's count
    has been unchanged over some round; it fails only if that has not happened
    within ``max_rounds`` rounds. A real leak grows every round, so it never
    passes; a sound function usually passes after two or three rounds.
    """

    def __init__(self, calls=50, max_rounds=30, warmup=10, reset=None, settle=0.02):
        self.calls = calls
        self.max_rounds = max_rounds
        self.warmup = warmup
        # Called before each measurement, to drop what the test setting itself
        # accumulates per call (such as a server's request log).
        self.reset = reset
        # Seconds to wait before each measurement, so that a server thread in
        # this process has finished with the previous request.
        self.settle = settle

    def __call__(self, fn, *args, expect=None, **kwargs):
        """Fail with ``AssertionError`` if calling ``fn(*args, **kwargs)`` leaks.

        With ``expect`` (an exception type), every call must raise it; it is
        caught, and a call that does not raise it fails the check.
        """
        for _ in range(self.warmup):
            _call(fn, args, kwargs, expect)
        watched = [value for value in (*args, *kwargs.values()) if _is_mortal(value)]
        totalrefcount = getattr(sys, "gettotalrefcount", None)
        limit = self.calls // 2

        block_growth = []
        total_growth = []
        ref_growth = [[] for _ in watched]
        quiet_rounds = 0
        for _ in range(self.max_rounds):
            blocks, total, refs = self._snapshot(watched, totalrefcount)
            for _ in range(self.calls):
                _call(fn, args, kwargs, expect)
            blocks_after, total_after, refs_after = self._snapshot(watched, totalrefcount)
            block_growth.append(blocks_after - blocks)
            total_growth.append(total_after - total)
            for growth, before, after in zip(ref_growth, refs, refs_after):
                growth.append(after - before)

            # With PYTHONMALLOC=malloc (sanitizer runs) no blocks are counted.
            quiet = (not blocks_after or block_growth[-1] < limit) and abs(total_growth[-1]) < limit
            quiet_rounds = quiet_rounds + 1 if quiet else 0
            if quiet_rounds >= 2 and all(0 in growth for growth in ref_growth):
                return

        problems = []
        if quiet_rounds < 2:
            problems.append(f"allocated blocks grew by {block_growth}")
            if totalrefcount is not None:
                problems.append(f"total refcount changed by {total_growth}")
        for value, growth in zip(watched, ref_growth):
            if 0 not in growth:
                problems.append(f"refcount of argument {_short(value)} changed by {growth}")
        raise AssertionError(
            f"{_short(fn)} leaks (rounds of {self.calls} calls): " + "; ".join(problems)
        )

    def _snapshot(self, watched, totalrefcount):
        if self.settle:
            time.sleep(self.settle)
        if self.reset is not None:
            self.reset()
        gc.collect()
        blocks = sys.getallocatedblocks()
        total = totalrefcount() if totalrefcount is not None else 0
        refs = [sys.getrefcount(value) for value in watched]
        return blocks, total, refs


def _call(fn, args, kwargs, expect):
    if expect is None:
        fn(*args, **kwargs)
        return
    try:
        fn(*args, **kwargs)
    except expect:
        return
    raise AssertionError(f"{_short(fn)} did not raise {expect.__name__}")


def _is_mortal(value):
    """Return False for objects whose refcount says nothing about one call.

    Immortal objects (Python 3.12 and later) keep a fixed count; None, the
    booleans and the cached small ints are shared by the whole interpreter and
    move with every line of code that runs anywhere.
    """
    if value is None or value is True or value is False:
        return False
    if type(value) is int and -5 <= value <= 256:
        return False
    is_immortal = getattr(sys, "_is_immortal", None)
    if is_immortal is not None:
        return not is_immortal(value)
    return sys.getrefcount(value) < 2**29


def _short(value):
    text = getattr(value, "__qualname__", None) or repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


#: The check with its default settings.
assert_no_leaks = LeakCheck()


# --- Data functions: traceback entries, and calendar periods worked out by hand ---

import datetime as _series_dt
import math as _series_math
import traceback as _series_traceback


def series_line(exc, module, function):
    """Return the source line of the one traceback entry that a data function added.

    ``module`` is the short module name ("foreign"), ``function`` the function
    name ("get_foreign"). Fails unless ``exc`` crossed exactly one function of
    the package, and that entry names the module's two-backslash source path.
    """
    entries = [
        entry
        for entry in _series_traceback.extract_tb(exc.__traceback__)
        if entry.name.startswith("quorvex.")
    ]
    assert [entry.name for entry in entries] == [f"quorvex.process_stock.{module}.{function}"]
    assert entries[0].filename == f"quorvex\\\\process_stock\\\\{module}.py"
    return entries[0].lineno


def series_label(day, rule):
    """The label of the period holding ``day``: "W" the Sunday closing its
    Monday-to-Sunday week, "MS" the first of its month, "d" the day itself."""
    if rule == "W":
        return day + _series_dt.timedelta(days=6 - day.weekday())
    if rule == "MS":
        return day.replace(day=1)
    assert rule == "d", rule
    return day


def _series_next(label, rule):
    if rule == "MS":
        return (label.replace(day=28) + _series_dt.timedelta(days=4)).replace(day=1)
    return label + _series_dt.timedelta(days=7 if rule == "W" else 1)


def series_periods(rows, rule):
    """Return [(label, rows)] for every period from the first row's to the last
    row's, in calendar order; periods without rows are included, empty."""
    days = [_series_dt.date.fromisoformat(row["DateTime"]) for row in rows]
    label, last = series_label(min(days), rule), series_label(max(days), rule)
    periods = []
    while label <= last:
        periods.append((label, [row for row, day in zip(rows, days) if series_label(day, rule) == label]))
        label = _series_next(label, rule)
    return periods


def series_stamp(day):
    """``day`` (a date or "YYYY-MM-DD" text) as the midnight datetime an index holds."""
    if isinstance(day, str):
        day = _series_dt.date.fromisoformat(day)
    return _series_dt.datetime(day.year, day.month, day.day)


def series_same(actual, expected):
    """Equality of two cell lists in which NaN equals NaN (and only NaN)."""
    def nan(value):
        return isinstance(value, float) and _series_math.isnan(value)

    return len(actual) == len(expected) and all(
        (nan(a) and nan(e)) or (not nan(a) and not nan(e) and a == e)
        for a, e in zip(actual, expected)
    )


def series_check(table, labels, columns):
    """Check a time-indexed table: its index (a DatetimeIndex named "DateTime"
    holding ``labels``, dates or texts) and its columns, ``columns`` mapping
    each name, in order, to the expected cells."""
    assert type(table.index).__name__ == "DatetimeIndex"
    assert table.index.name == "DateTime"
    assert list(table.index) == [series_stamp(label) for label in labels]
    assert list(table.columns) == list(columns)
    for name, cells in columns.items():
        actual = table[name].tolist()
        assert series_same(actual, list(cells)), (name, actual, list(cells))


#: Warnings of pandas itself about steps that the data functions make as
#: designed, ignored by the tests that check values; test_pipeline.py's
#: test_calls_warn_nothing still sees them.
#: - pandas 2.2 and 2.3 announce that ``replace`` will stop downcasting an
#:   object column that the dividend's "-" replacement leaves all-numeric or
#:   all-NaN.
SERIES_PANDAS_WARNINGS = [
    "ignore:Downcasting behavior in `replace` is deprecated:FutureWarning",
]


#: Trading days of the scripted daily answers: five Monday-to-Sunday weeks from
#: 2024-01-22, the second across the month boundary, the third without its
#: Wednesday (2024-02-07), the fourth (2024-02-12 to 18) without any row.
SERIES_DAYS = [
    _series_dt.date(2024, 1, 22) + _series_dt.timedelta(days=offset)
    for offset in range(33)
    if offset % 7 < 5 and offset not in (16, *range(21, 28))
]


def series_rows(seed, **ranges):
    """One row per day of SERIES_DAYS: "DateTime" first, then for each keyword
    ``name=(low, high)`` a column of seeded random ints in that range."""
    import random

    rng = random.Random(seed)
    return [
        dict(DateTime=day.isoformat(), **{name: rng.randint(*bounds) for name, bounds in ranges.items()})
        for day in SERIES_DAYS
    ]
