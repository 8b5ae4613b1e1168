"""Trivial stand-ins for requests, pandas, numpy and the login client.

Both the compiled functions and their plain-Python renditions get these same objects as
their module globals, so a benchmark of the two measures only the package's own work:
binding, global reads, building the query and keyword arguments, the attribute look-ups
and calls, the regrouping and scaling steps. Every callee is Python code, as the real
callees in requests and pandas are, and does next to nothing."""

import types

from quorvex.datasets import DATASETS

TOKEN = "bench-token"


class Client:
    token = TOKEN

    def _get_headers(self):
        return HEADERS


HEADERS = {"Accept": "application/json", "Authorization": "Bearer " + TOKEN}


class Response:
    def __init__(self, status_code, rows, text):
        self.status_code = status_code
        self.text = text
        self._rows = rows

    def json(self):
        return self._rows


# One row carrying every documented column of the registry's endpoints, so that both sides
# check every figure and date column of the function measured.
ROWS = [
    {
        "DateTime": "2024-01-02",
        **{figure: 1 for dataset in DATASETS.values() for figure in dataset.figures},
        **{date: "-" for dataset in DATASETS.values() if not dataset.is_series for date in dataset.dates},
    }
]
OK = Response(200, ROWS, "[...]")
REFUSED = Response(404, None, '{"error": "unknown ticker"}')


def _ok_get(url=None, headers=None, params=None):
    return OK


def _refused_get(url=None, headers=None, params=None):
    return REFUSED


class Series:
    def __invert__(self):
        return self


SERIES = Series()


class Frame:
    """A table whose every operation hands back itself (or a fixed series)."""

    def __init__(self, data=None, columns=None, dtype=None):
        pass

    def __getitem__(self, key):
        return self

    def __setitem__(self, key, value):
        pass

    def __truediv__(self, other):
        return self

    def set_index(self, keys, inplace=False):
        return self

    def resample(self, rule):
        return RESAMPLER

    def insert(self, loc, column, value):
        pass

    def replace(self, to_replace, value, inplace=False):
        pass

    def eq(self, other):
        return self

    def all(self, axis=0):
        return SERIES

    @property
    def loc(self):
        return LOC


class Resampler:
    def __getitem__(self, key):
        return self

    def agg(self, how):
        return Frame()

    def sum(self):
        return Frame()


class Loc:
    def __getitem__(self, key):
        return Frame()


RESAMPLER = Resampler()
LOC = Loc()


def to_datetime(values):
    return values


def _module(name, **attributes):
    """A module holding `attributes`: the real requests, pandas and numpy are modules,
    whose attributes Python code and the compiled functions each read in their own way."""
    module = types.ModuleType(name)
    vars(module).update(attributes)
    return module


pd = _module("pandas", DataFrame=Frame, to_datetime=to_datetime)
np = _module("numpy", nan=float("nan"))
requests = _module("requests", get=_ok_get)


def answer(ok):
    """Makes every later `requests.get` answer 200 (`ok`) or 404."""
    requests.get = _ok_get if ok else _refused_get


def rebind(module):
    """Points the module globals that the data functions and the guard read at the stubs
    (only those the module has)."""
    for name, value in (
        ("Client", Client),
        ("requests", requests),
        ("pd", pd),
        ("np", np),
        ("base_url", "http://bench.invalid"),
    ):
        if hasattr(module, name):
            setattr(module, name, value)
