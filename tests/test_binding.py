"""How a call of a public function is bound to its parameters, and its errors."""

import importlib
import sys
import traceback

import pandas as pd
import pytest

from quorvex.datasets import DATASETS
from source_tables import def_line

P4 = ("ticker", "fromDate", "toDate", "period")

# module, function, parameters, line of the def, endpoint (None: the login guard): every
# data set of the registry, and the guard
FUNCTIONS = [
    (module, name, params, def_line(module, name), path)
    for module, name, params, path in [
        *((d.module, d.function, d.parameters, d.endpoint) for d in DATASETS.values()),
        ("quorvex.config.require_session", "require_session", ("func",), None),
    ]
]
COLUMNS = list(dict.fromkeys(f for d in DATASETS.values() for f in d.figures))  # every figure column, once
ROWS = [
    {"DateTime": f"2024-01-{day:02d}", **{c: day * (i + 1) for i, c in enumerate(COLUMNS)}} for day in (2, 3, 9, 10, 16)
]
_echo = lambda *args, **kwargs: (args, kwargs)  # noqa: E731
Name = type("Name", (str,), {})


def package_entries(exc):
    return [
        (e.name, e.filename, e.lineno)
        for e in traceback.extract_tb(exc.__traceback__)
        if e.filename.startswith("quorvex\\")
    ]


@pytest.mark.parametrize("module, name, params, line, path", FUNCTIONS, ids=[f[1] for f in FUNCTIONS])
def test_positional_and_keyword_arguments_bind_the_same(module, name, params, line, path, httpserver, logged_in):
    fn = getattr(importlib.import_module(module), name)
    if path is not None:
        httpserver.expect_request(path).respond_with_json([] if "diviend" in path else ROWS)
    # A regrouping period and a unit, so that a swap of any two values shows.
    values = dict(ticker="FPT", fromDate="2024-01-01", toDate="2024-01-31", period="W", unit=1000, func=_echo)
    kw = [(p, values[p]) for p in params]
    styles = [
        (list(values[p] for p in params), {}),
        ([], dict(kw)),
        ([], dict(reversed(kw))),
        ([kw[0][1]], dict(reversed(kw[1:]))),
        ([v for _, v in kw[:-1]], dict(kw[-1:])),
        # Names equal to, but not the same objects as, the module's own interned names.
        ([], {"".join(list(p)): v for p, v in kw}),
        ([], {Name(p): v for p, v in kw}),
    ]
    results = []
    for args, kwargs in styles:
        httpserver.clear_log()
        result = fn(*args, **kwargs)
        if path is None:
            assert result.__wrapped__ is _echo and result(1, key=2) == ((1,), {"key": 2})
            continue
        assert [list(r.args.items(multi=True)) for r, _ in httpserver.log] == [
            [("ticker", "FPT"), ("fromDate", "2024-01-01"), ("toDate", "2024-01-31")]
        ]
        results.append(result)
    for result in results[1:]:
        pd.testing.assert_frame_equal(result, results[0])


def _error_cases():
    for module, name, params, line, _ in FUNCTIONS:
        n, first, last, s = len(params), params[0], params[-1], "s" * (len(params) > 1)
        count = f"{name}() takes exactly {n} positional argument{s} ({{}} given)".format
        multiple = f"{name}() got multiple values for keyword argument '{{}}'".format
        unexpected = f"{name}() got an unexpected keyword argument 'bogus'"
        # The first missing parameter is reported as a count, before any keyword trouble.
        gap = [first] if n > 1 else []
        rows = [
            ("no-arguments", [], [], count(0)),
            ("too-many", list(params) + ["extra"], [], count(n + 1)),
            ("too-many-with-keyword", list(params) + ["extra"], [first], count(n + 1)),
            ("too-few", list(params[:-1]), [], count(n - 1)),
            ("last-keyword-missing", [], list(params[:-1]), count(n - 1)),
            ("gap", gap, list(params[len(gap) + 1 :]) + ["bogus"], count(len(gap))),
            ("multiple-values", list(params), [last], multiple(last)),
            ("unexpected-after-keywords", [], list(params) + ["bogus"], unexpected),
            # Left-over keywords are examined in the order they were passed.
            ("unexpected-first", list(params), ["bogus", first], unexpected),
            ("multiple-first", list(params), [first, "bogus"], multiple(first)),
        ]
        for label, positional, keywords, message in rows:
            yield pytest.param(module, name, line, positional, keywords, message, id=f"{name}-{label}")


@pytest.mark.parametrize("module, name, line, positional, keywords, message", list(_error_cases()))
def test_binding_errors(module, name, line, positional, keywords, message, httpserver):
    fn = getattr(importlib.import_module(module), name)
    values = {p: object() for p in set(positional) | set(keywords)}
    before = {p: sys.getrefcount(v) for p, v in values.items()}
    with pytest.raises(TypeError) as caught:
        fn(*[values[p] for p in positional], **{p: values[p] for p in keywords})
    assert type(caught.value) is TypeError and caught.value.args == (message,)
    path = module.replace(".", "\\\\") + ".py"
    assert package_entries(caught.value) == [(f"{module}.{name}", path, line)]
    del caught
    assert {p: sys.getrefcount(v) for p, v in values.items()} == before
    assert httpserver.log == []


@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
@pytest.mark.parametrize(
    "bad, type_name", [(None, "NoneType"), (Name("FPT"), "Name"), (7, "int")], ids=["None", "str-subclass", "int"]
)
@pytest.mark.parametrize("position", range(4), ids=P4)
def test_pricebars_takes_only_exact_str(position, bad, type_name, by_keyword, httpserver):
    from quorvex.process_stock.pricebars import get_pricebars

    # Every later argument is wrong too: the first wrong parameter is the one reported.
    values = ["FPT", "2024-01-01", "2024-01-31", "D"][:position] + [bad] + [b"x"] * (3 - position)
    before = sys.getrefcount(bad)
    with pytest.raises(TypeError) as caught:
        if by_keyword:  # reversed: the check follows parameter order, not call order
            get_pricebars(**dict(reversed(list(zip(P4, values)))))
        else:
            get_pricebars(*values)
    assert caught.value.args == (f"Argument '{P4[position]}' has incorrect type (expected str, got {type_name})",)
    # The type check adds no entry of the package: the last frame is this test's own.
    assert package_entries(caught.value) == []
    assert traceback.extract_tb(caught.value.__traceback__)[-1].filename == __file__
    del caught
    if type(bad) is Name:  # None and small ints are shared by everything
        assert sys.getrefcount(bad) == before
    assert httpserver.log == []
