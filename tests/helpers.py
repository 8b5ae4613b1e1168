"""Test helpers. ``LeakCheck()(fn, *args, expect=None, **kwargs)`` fails if repeated calls
leave memory blocks or argument references behind (conftest's ``assert_no_leaks``
fixture also empties pytest-httpserver's request log before each measurement)."""

import datetime as _series_dt
import gc
import json
import os
import random as _series_random
import subprocess
import sys
import tempfile
import time
import traceback as _series_traceback

import quorvex

# The directory holding the package under test (site-packages when installed).
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.realpath(quorvex.__file__)))
# This directory, for children that import the helpers' subinterpreter module.
TESTS_DIR = os.path.dirname(os.path.realpath(__file__))


def outcome(call, *args, **kwargs):
    """What ``call(*args, **kwargs)`` gives: its result, or the exception it raised."""
    try:
        return call(*args, **kwargs)
    except Exception as error:  # noqa: BLE001  (inspected by the test)
        return error


def run_python(source, *options, package_path=True):
    """Run ``source`` in a fresh interpreter and return the JSON of its last output line.

    The child runs outside the source tree, whose sources would shadow the package under
    test. ``package_path`` puts that package first on PYTHONPATH; without it PYTHONPATH
    is unset."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if package_path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")]))
    command, folder = [sys.executable, *options, "-c", source], tempfile.gettempdir()
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120, cwd=folder)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


class LeakCheck:
    """After a warm-up, rounds of ``calls`` calls, each between two ``gc.collect()``.

    A round is quiet when allocated blocks (and the total refcount of debug builds)
    moved by under calls/2: pandas, requests and the interpreter fill caches for a
    few hundred calls, so one noisy round is no leak. The check passes once two rounds
    in a row are quiet and each argument's refcount was unchanged over some round.
    """

    def __init__(self, calls=50, max_rounds=30, warmup=10, reset=None, settle=0.02):
        self.calls, self.max_rounds, self.warmup = calls, max_rounds, warmup
        # Long-lived objects (module globals, the function itself) whose refcounts, like
        # the arguments', must come back to where they were.
        self.watch = ()
        # reset() drops what the setting keeps per call (a server's request log);
        # `settle` seconds let a server thread finish with the last answer.
        self.reset, self.settle = reset, settle

    def __call__(self, fn, *args, expect=None, **kwargs):
        for _ in range(self.warmup):
            _call(fn, args, kwargs, expect)
        watched = [value for value in (*args, *kwargs.values(), *self.watch) if _is_mortal(value)]
        grew = [[] for _ in range(2 + len(watched))]  # blocks, total refcount, each argument
        quiet = 0
        for _ in range(self.max_rounds):
            before = self._snapshot(watched)
            for _ in range(self.calls):
                _call(fn, args, kwargs, expect)
            after = self._snapshot(watched)
            for growth, old, new in zip(grew, before, after):
                growth.append(new - old)
            # With PYTHONMALLOC=malloc (sanitizer runs) no blocks are counted.
            blocks_ok = not after[0] or grew[0][-1] < self.calls // 2
            quiet = quiet + 1 if blocks_ok and abs(grew[1][-1]) < self.calls // 2 else 0
            if quiet >= 2 and all(0 in growth for growth in grew[2:]):
                return
        problems = (
            []
            if quiet >= 2
            else [f"allocated blocks grew by {grew[0]}", f"total refcount (debug builds) changed by {grew[1]}"]
        )
        arguments = len(watched) - len([value for value in self.watch if _is_mortal(value)])
        problems += [
            f"refcount of {'argument ' * (i < arguments)}{_short(value)} changed by {growth}"
            for i, (value, growth) in enumerate(zip(watched, grew[2:]))
            if 0 not in growth
        ]
        raise AssertionError(f"{_short(fn)} leaks (rounds of {self.calls} calls): " + "; ".join(problems))

    def _snapshot(self, watched):
        time.sleep(self.settle)
        if self.reset is not None:
            self.reset()
        gc.collect()
        total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
        return [sys.getallocatedblocks(), total] + [sys.getrefcount(value) for value in watched]


def _call(fn, args, kwargs, expect):
    expected = expect or ()  # an empty tuple catches nothing
    try:
        fn(*args, **kwargs)
    except expected:
        return
    if expect is not None:
        raise AssertionError(f"{_short(fn)} did not raise {expect.__name__}")


def _is_mortal(value):
    """False for objects whose refcount says nothing about one call: None, the booleans,
    small ints (shared by the whole interpreter) and immortal objects (3.12 and later)."""
    if value is None or value is True or value is False or (type(value) is int and -5 <= value <= 256):
        return False
    is_immortal = getattr(sys, "_is_immortal", None)
    return not is_immortal(value) if is_immortal else sys.getrefcount(value) < 2**29


def _short(value):
    text = getattr(value, "__qualname__", None) or repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


# --- Data functions: traceback entries, and calendar periods worked out by hand ---


def series_line(exc, module, function):
    """The line of the one traceback entry that the data function added to ``exc``."""
    entries = [e for e in _series_traceback.extract_tb(exc.__traceback__) if e.name.startswith("quorvex.")]
    assert [e.name for e in entries] == [f"quorvex.process_stock.{module}.{function}"]
    assert entries[0].filename == f"quorvex\\\\process_stock\\\\{module}.py"
    return entries[0].lineno


def series_periods(rows, rule):
    """[(label, rows)] for every period from the first row's to the last row's, empty
    ones included: "W" Monday-to-Sunday weeks labelled by the Sunday, "MS" months by
    their first day, "d" single days."""

    def label(day):
        if rule == "W":
            return day + _series_dt.timedelta(days=6 - day.weekday())
        return day.replace(day=1) if rule == "MS" else day

    days = [_series_dt.date.fromisoformat(row["DateTime"]) for row in rows]
    span = range((max(days) - min(days)).days + 1)
    labels = sorted({label(min(days) + _series_dt.timedelta(days=n)) for n in span})
    return [(at, [row for row, day in zip(rows, days) if label(day) == at]) for at in labels]


def series_check(table, labels, columns):
    """Check the DatetimeIndex "DateTime" (``labels``: dates or ISO texts) and the
    columns, ``columns`` mapping each name, in order, to its cells (NaN matches NaN)."""
    assert type(table.index).__name__ == "DatetimeIndex" and table.index.name == "DateTime"
    assert list(table.index) == [_series_dt.datetime.fromisoformat(str(label)) for label in labels]
    assert list(table.columns) == list(columns)
    for name, cells in columns.items():
        actual = table[name].tolist()
        same = len(actual) == len(cells) and all(a == e or (a != a and e != e) for a, e in zip(actual, cells))
        assert same, (name, actual, cells)


#: Trading days from Monday 2024-01-22 over five weeks: the second crosses the month
#: boundary, the third lacks 2024-02-07, the fourth (2024-02-12 to 18) has no day.
SERIES_DAYS = [
    _series_dt.date(2024, 1, 22) + _series_dt.timedelta(days=n)
    for n in range(33)
    if n % 7 < 5 and n not in (16, *range(21, 28))
]


def series_rows(seed, **ranges):
    """One row per day of SERIES_DAYS: "DateTime", then seeded random ints per ``name=(low, high)``."""
    rng = _series_random.Random(seed)
    return [dict(DateTime=day.isoformat(), **{k: rng.randint(*r) for k, r in ranges.items()}) for day in SERIES_DAYS]


def weekdays(first, last):
    """The ISO dates of the weekdays from ``first`` to ``last`` (ISO dates), in order."""
    start, end = _series_dt.date.fromisoformat(first), _series_dt.date.fromisoformat(last)
    days = (start + _series_dt.timedelta(days=n) for n in range((end - start).days + 1))
    return [day.isoformat() for day in days if day.weekday() < 5]


def price_rows(first, last, close=1, extra=None):
    """A price-bar answer: a row per weekday from ``first`` to ``last``, every price
    ``close`` and Volume 100, then the cells of ``extra``."""
    prices = dict.fromkeys(("Open", "High", "Low", "Close"), close)
    return [{"DateTime": day, **prices, "Volume": 100, **(extra or {})} for day in weekdays(first, last)]


# --- Trivial stand-ins for Client, requests and pandas ---


class StepFailed(Exception):
    """Raised by the stand-ins at the step they were told to fail."""


# Every documented figure column of the time series: the stand-ins' one row carries them all.
STUB_FIGURES = [
    *("Open", "High", "Low", "Close", "Volume", "dealerDeskNetValue"),
    *("buyForeignVolume", "sellForeignVolume", "buyForeignValue", "sellForeignValue", "netForeignValue"),
    *("buyCount", "buyVolume", "sellCount", "sellVolume"),
]


def stub_globals(fail=None, status=200):
    """Module globals (Client, base_url, requests, pd, np) of plain Python objects that walk
    every step of a data function; the step named ``fail`` raises StepFailed instead."""

    def step(name):
        if name == fail:
            raise StepFailed(name)

    class Table:
        loc = property(lambda self: self)
        __getitem__ = lambda self, key: self
        __setitem__ = lambda self, key, value: None
        __invert__ = lambda self: self
        all = lambda self, axis: self
        set_index = lambda self, key, **options: step("set_index") or self
        resample = lambda self, rule: step("regroup") or Resampler()
        eq = lambda self, other: step("filter") or self
        insert = lambda self, at, name, value: step("ticker")
        __truediv__ = lambda self, unit: step("scale") or self
        replace = lambda self, old, new, **options: step("replace")

    class Resampler:
        __getitem__ = lambda self, key: self
        agg = sum = lambda self, *how: Table()

    class Response:
        text, content = "refused", b"refused"
        status_code = property(lambda self: step("status") or status)
        json = lambda self: [{"DateTime": "2024-01-02", **dict.fromkeys(STUB_FIGURES, 1)}]

    class Client:
        __init__ = lambda self: step("client")
        _get_headers = lambda self: step("headers") or {}

    class Address:
        __format__ = lambda self, spec: step("url") or "http://stub"

    class NumPy:  # the dividend reads np.nan in its "replace" step
        nan = property(lambda self: step("replace") or float("nan"))

    requests = type("requests", (), {"get": staticmethod(lambda **kw: step("get") or Response())})

    class pd:
        nan = float("nan")
        DataFrame = staticmethod(lambda *rows, **kw: step("table") or Table())
        to_datetime = staticmethod(lambda values: step("to_datetime") or values)

    return {"Client": Client, "base_url": Address(), "requests": requests, "pd": pd, "np": NumPy()}


class StubPeriod:
    """A period that is not "D"; its comparison is the "period" step."""

    def __init__(self, fail=None):
        self.fail = fail

    def __ne__(self, other):
        if self.fail == "period":
            raise StepFailed("period")
        return True


# The line a data function's traceback entry shows when one of its steps fails, as a
# user sees it: a step, then its line in each module of STEP_MODULES (None: that
# function has no such step). Written out, not read from the C++ tables under test.
STEP_MODULES = ("pricebars", "foreign", "dealerDesk", "matchBook", "dividend")
_STEP_LINE_ROWS = [
    ("client", 10, 8, 10, 10, 8),
    ("headers", 11, 9, 11, 11, 9),
    ("url", 12, 10, 12, 12, 10),
    ("get", 18, 16, 18, 18, 16),
    ("status", 23, 21, 23, 23, 21),
    ("table", 24, 22, 24, 24, 22),
    ("to_datetime", 25, 23, 25, 25, 30),
    ("set_index", 26, 24, 26, 26, None),
    ("period", 27, 25, 27, 27, None),
    ("regroup", 28, 26, 28, 28, None),
    ("filter", None, None, None, 29, None),
    ("ticker", 37, 34, 29, 30, None),
    ("scale", None, 36, 31, None, None),
    ("replace", None, None, None, None, 23),
    ("fail", 40, 39, 34, 33, 33),
]
STEP_LINES = {
    module: {step: lines[at] for step, *lines in _STEP_LINE_ROWS if lines[at] is not None}
    for at, module in enumerate(STEP_MODULES)
}
# The data functions that divide their money columns by a ``unit`` argument.
UNIT_MODULES = ("foreign", "dealerDesk")
