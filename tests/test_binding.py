"""How a call of a public function is bound to its parameters, and its errors."""

import importlib
import sys
import traceback

import pandas as pd
import pytest

# module, function, parameters, line of the def, endpoint (None: the login guard)
FUNCTIONS = [
    ("quorvex.process_stock.foreign", "get_foreign",
     ("ticker", "fromDate", "toDate", "period", "unit"), 7, "/api/stock/foreign"),
    ("quorvex.process_stock.matchBook", "get_match_book",
     ("ticker", "fromDate", "toDate", "period"), 9, "/api/stock/sAndD"),
    ("quorvex.process_stock.dealerDesk", "get_dealerDesk",
     ("ticker", "fromDate", "toDate", "period", "unit"), 9, "/api/stock/dealerDesk"),
    ("quorvex.process_stock.pricebars", "get_pricebars",
     ("ticker", "fromDate", "toDate", "period"), 9, "/api/stock/pricebars"),
    ("quorvex.process_stock.dividend", "get_dividend",
     ("ticker", "fromDate", "toDate"), 7, "/api/stock/diviend"),
    ("quorvex.config.require_session", "require_session", ("func",), 4, None),
]
IDS = [entry[1] for entry in FUNCTIONS]

# Every figure column of the four time series, so that one answer serves them all on
# both the daily and the regrouping path.
ROWS = [
    {"DateTime": f"2024-01-{day:02d}", "Open": day, "High": day + 2, "Low": day - 1,
     "Close": day + 1, "Volume": 100 * day, "buyForeignVolume": day, "sellForeignVolume": 2,
     "buyForeignValue": 1000 * day, "sellForeignValue": 500, "netForeignValue": 1000 * day - 500,
     "dealerDeskNetValue": 3000 * day, "buyCount": day, "buyVolume": 10 * day,
     "sellCount": 1, "sellVolume": 7}
    for day in (2, 3, 9, 10, 16)
]


def _echo(*args, **kwargs):
    return args, kwargs


def call_values(name):
    """One argument per parameter; a regrouping period and a unit, so that a swap shows."""
    if name == "require_session":
        return {"func": _echo}
    return {"ticker": "FPT", "fromDate": "2024-01-01", "toDate": "2024-01-31", "period": "W",
            "unit": 1000}


def resolve(module):
    return importlib.import_module(module)


def traceback_path(module):
    return module.replace(".", "\\\\") + ".py"


def package_entries(exc):
    return [(e.name, e.filename, e.lineno) for e in traceback.extract_tb(exc.__traceback__)
            if e.filename.startswith("quorvex\\")]


def count_message(name, params, given):
    suffix = "" if len(params) == 1 else "s"
    return f"{name}() takes exactly {len(params)} positional argument{suffix} ({given} given)"


def fresh_values(params):
    """Objects that only this test holds, so that their reference counts mean something."""
    return {p: object() for p in params}


@pytest.fixture
def answer_rows(httpserver):
    for *_, path in FUNCTIONS:
        if path is not None:
            rows = [] if path.endswith("diviend") else ROWS
            httpserver.expect_request(path, method="GET").respond_with_json(rows)
    return httpserver


def sent_queries(httpserver):
    return [list(request.args.items(multi=True)) for request, _ in httpserver.log]


# --- calls that bind -------------------------------------------------------------------

def _call_styles(params, values):
    """(positional, keywords) pairs that must all bind the same values."""
    n = len(params)
    built = {p: values[p] for p in params}
    # Keyword names made at run time are equal to, but not the same objects as, the
    # module's own names; a str subclass name cannot match by identity either.
    runtime = {"".join(list(p)): values[p] for p in params}

    class Name(str):
        pass

    subclass = {Name(p): values[p] for p in params}
    return [
        ([values[p] for p in params], {}),
        ([], built),
        ([], dict(reversed(list(built.items())))),
        ([values[params[0]]], dict(reversed([(p, values[p]) for p in params[1:]]))),
        ([values[p] for p in params[:n - 1]], {params[-1]: values[params[-1]]}),
        ([], runtime),
        ([], subclass),
    ]


@pytest.mark.parametrize("module, name, params, line, path", FUNCTIONS, ids=IDS)
def test_positional_and_keyword_arguments_bind_the_same(
        module, name, params, line, path, answer_rows, logged_in):
    fn = getattr(resolve(module), name)
    values = call_values(name)
    results = []
    for args, kwargs in _call_styles(params, values):
        answer_rows.clear_log()
        result = fn(*args, **kwargs)
        if path is None:
            assert result.__wrapped__ is _echo
            assert result(1, key=2) == ((1,), {"key": 2})
        else:
            assert sent_queries(answer_rows) == [
                [("ticker", "FPT"), ("fromDate", "2024-01-01"), ("toDate", "2024-01-31")]]
            results.append(result)
    for result in results[1:]:
        pd.testing.assert_frame_equal(result, results[0])


# --- binding errors --------------------------------------------------------------------

def _error_cases():
    """(module, name, params, line, positional parameters, keyword parameters, message)."""
    cases = []
    for module, name, params, line, _ in FUNCTIONS:
        n = len(params)
        count = lambda given: count_message(name, params, given)  # noqa: E731

        def add(label, positional, keywords, message):
            cases.append(pytest.param(module, name, params, line, positional, keywords,
                                      message, id=f"{name}-{label}"))

        add("no-arguments", [], [], count(0))
        add("one-too-many", list(params) + ["extra"], [], count(n + 1))
        add("one-too-many-with-keyword", list(params) + ["extra"], [params[0]], count(n + 1))
        if n > 1:
            add("last-by-keyword-missing", [], list(params[:-1]), count(n - 1))
            add("one-too-few", list(params[:-1]), [], count(n - 1))
            # The second parameter is missing: reported as a count before any keyword
            # trouble, however many keywords follow.
            add("gap-after-first", [params[0]], list(params[2:]), count(1))
            add("gap-with-stray-keyword", [params[0]], list(params[2:]) + ["bogus"], count(1))
            add("multiple-values-later-param", list(params[:2]),
                list(params[2:]) + [params[1]],
                f"{name}() got multiple values for keyword argument '{params[1]}'")
        else:
            add("stray-keyword-only", [], ["fn"], count(0))
        add("multiple-values", list(params), [params[0]],
            f"{name}() got multiple values for keyword argument '{params[0]}'")
        add("unexpected-after-positional", list(params), ["bogus"],
            f"{name}() got an unexpected keyword argument 'bogus'")
        add("unexpected-after-keywords", [], list(params) + ["bogus"],
            f"{name}() got an unexpected keyword argument 'bogus'")
        # Left-over keywords are reported in the order they were passed.
        add("unexpected-first", list(params), ["bogus", params[0]],
            f"{name}() got an unexpected keyword argument 'bogus'")
        add("multiple-first", list(params), [params[0], "bogus"],
            f"{name}() got multiple values for keyword argument '{params[0]}'")
    return cases


@pytest.mark.parametrize("module, name, params, line, positional, keywords, message",
                         _error_cases())
def test_binding_errors(module, name, params, line, positional, keywords, message, httpserver):
    fn = getattr(resolve(module), name)
    values = fresh_values(set(positional) | set(keywords))
    args = [values[p] for p in positional]
    kwargs = {p: values[p] for p in keywords}
    before = {p: sys.getrefcount(v) for p, v in values.items()}

    with pytest.raises(TypeError) as caught:
        fn(*args, **kwargs)

    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)
    assert package_entries(caught.value) == [(f"{module}.{name}", traceback_path(module), line)]
    del caught
    assert {p: sys.getrefcount(v) for p, v in values.items()} == before
    assert httpserver.log == []


def test_binding_errors_do_not_leak(assert_no_leaks):
    from quorvex.process_stock.foreign import get_foreign

    ticker, extra = "F" + "PT".lower(), object()
    assert_no_leaks(get_foreign, ticker, expect=TypeError)
    assert_no_leaks(get_foreign, ticker, extra, extra, extra, extra, ticker=ticker,
                    expect=TypeError)
    assert_no_leaks(get_foreign, ticker, toDate=extra, period=extra, unit=extra,
                    expect=TypeError)


# --- get_pricebars: every argument exactly str -----------------------------------------

PRICEBARS_PARAMS = ("ticker", "fromDate", "toDate", "period")


class Ticker(str):
    pass


@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
@pytest.mark.parametrize("bad, type_name", [(None, "NoneType"), (Ticker("FPT"), "Ticker"),
                                            (7, "int"), (b"FPT", "bytes")],
                         ids=["None", "str-subclass", "int", "bytes"])
@pytest.mark.parametrize("position", range(4), ids=PRICEBARS_PARAMS)
def test_pricebars_takes_only_exact_str(position, bad, type_name, by_keyword, httpserver):
    from quorvex.process_stock.pricebars import get_pricebars

    values = ["FPT", "2024-01-01", "2024-01-31", "D"]
    values[position] = bad
    before = sys.getrefcount(bad)
    with pytest.raises(TypeError) as caught:
        if by_keyword:
            # Reversed, to show that the check follows parameter order, not call order.
            get_pricebars(**dict(reversed(list(zip(PRICEBARS_PARAMS, values)))))
        else:
            get_pricebars(*values)

    param = PRICEBARS_PARAMS[position]
    assert caught.value.args == (
        f"Argument '{param}' has incorrect type (expected str, got {type_name})",)
    # The type check adds no entry of the package: the last frame is this test's own.
    assert package_entries(caught.value) == []
    assert traceback.extract_tb(caught.value.__traceback__)[-1].filename == __file__
    del caught
    if type(bad) in (Ticker, bytes):  # None and small ints are shared by everything
        assert sys.getrefcount(bad) == before
    assert httpserver.log == []


@pytest.mark.parametrize("kwargs, param", [
    ({"ticker": "FPT", "fromDate": None, "toDate": "2024-01-31", "period": None}, "fromDate"),
    ({"period": 1, "toDate": 2, "fromDate": "2024-01-01", "ticker": "FPT"}, "toDate"),
    ({"period": Ticker("W"), "toDate": "x", "fromDate": "y", "ticker": Ticker("z")}, "ticker"),
])
def test_pricebars_reports_the_first_wrong_parameter(kwargs, param):
    from quorvex.process_stock.pricebars import get_pricebars

    with pytest.raises(TypeError, match=f"^Argument '{param}' has incorrect type"):
        get_pricebars(**kwargs)


def test_pricebars_counts_arguments_before_checking_types():
    from quorvex.process_stock.pricebars import get_pricebars

    with pytest.raises(TypeError) as caught:
        get_pricebars(None, None)
    assert str(caught.value) == "get_pricebars() takes exactly 4 positional arguments (2 given)"
    with pytest.raises(TypeError) as caught:
        get_pricebars(None, None, None, None, bogus=None)
    assert str(caught.value) == "get_pricebars() got an unexpected keyword argument 'bogus'"
