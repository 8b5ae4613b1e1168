"""Every path of every public function, called many times, leaves no references or memory behind."""

import gc
import importlib
import sys

import pytest
import requests

from helpers import UNIT_MODULES
from quorvex.config import require_session as guard_module
from quorvex.datasets import DATASETS
from quorvex.process_client.login import Client

DECORATE = guard_module.require_session
DATES = ["Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"]
# data set: function, endpoint, figure columns (None: the dividend, without period)
SERIES = {name: (d.function, d.endpoint, " ".join(d.figures) if d.is_series else None) for name, d in DATASETS.items()}
DIVIDEND = {DATES[0]: "2024-01-05", DATES[1]: "2024-01-08", DATES[2]: "-", "Tỷ lệ": "-"}
DIVIDENDS = [DIVIDEND, {**DIVIDEND, DATES[2]: "2024-03-01", "Tỷ lệ": "10%"}]
MISSING = object()
GLOBALS = ["Client", "base_url", "requests", "pd", "np", "wraps"]


def _fail(*args, **kwargs):
    raise RuntimeError("injected")


FAULTS = {  # path: module global replaced (MISSING: removed)
    **{f"no {name}": (name, MISSING) for name in ["Client", "base_url", "requests", "pd", "np"]},
    "Client() fails": ("Client", _fail),
    "_get_headers fails": ("Client", type("C", (Client,), {"_get_headers": _fail})),
    "requests.get fails": ("requests", type("R", (), {"get": staticmethod(_fail)})),
}
DATA_PATHS = {  # path: expected exception (None: a table)
    **dict.fromkeys(["rows", "regrouped", "empty", "dict of columns"]),
    **dict.fromkeys(["status 404", "bad date", "bad period"], ValueError),
    **dict.fromkeys(["text figure", "epoch date", "not a row"], ValueError),
    "not json": requests.exceptions.JSONDecodeError,
    **dict.fromkeys(["no date column", "missing figure"], KeyError),
    **{path: NameError if path.startswith("no ") else RuntimeError for path in FAULTS},
    **dict.fromkeys(["bad unit", "too few arguments", "unexpected keyword", "ticker twice", "str subclass"], TypeError),
}
ONLY = {
    "regrouped": SERIES.keys() - {"dividend"},
    "text figure": SERIES.keys() - {"dividend"},
    "missing figure": SERIES.keys() - {"dividend"},
    "bad period": SERIES.keys() - {"dividend"},
    "bad unit": set(UNIT_MODULES),
    "no np": {"dividend"},
    "str subclass": {"pricebars"},
}


@pytest.fixture(scope="module", autouse=True)
def _heap_frozen():
    """Each gc.collect() of the checks walks only what the calls made, not pandas' heap."""
    gc.collect(), gc.freeze()
    yield
    gc.unfreeze()


def fresh(*parts):
    """A new str object, never an interned constant."""
    return "".join(parts + ("",))


def check(leaks, monkeypatch, module, path, fault, expect, fn, args, kwargs):
    """Inject ``fault``, show once that the call takes the intended path, then check it for leaks."""
    leaks.calls, leaks.warmup, leaks.settle = 30, 3, 0 if module is guard_module else 0.01
    if fault is not None:
        monkeypatch.delattr(module, fault[0])
        if fault[1] is not MISSING:
            monkeypatch.setattr(module, *fault, raising=False)
    # A call that keeps one reference to a long-lived object shows in its refcount only.
    leaks.watch = [fn, *(vars(module)[name] for name in GLOBALS if name in vars(module))]
    if expect is not None:
        match = {"status 404": "status:404\n", "refused": "^Chưa đăng nhập"}.get(path)
        with pytest.raises(expect, match=f"'{fault[0]}'" if expect is NameError else match):
            fn(*args, **kwargs)
    leaks(fn, *args, expect=expect, **kwargs)


@pytest.mark.parametrize(
    "name, path", [(name, path) for name in SERIES for path in DATA_PATHS if name in ONLY.get(path, SERIES)]
)
def test_data_function(httpserver, monkeypatch, assert_no_leaks, logged_in, name, path):
    module = importlib.import_module(f"quorvex.process_stock.{name}")
    function, endpoint, figures = SERIES[name]
    rows = (
        DIVIDENDS
        if figures is None
        else [dict(DateTime=f"2024-01-{d:02d}", **dict.fromkeys(figures.split(), d)) for d in range(1, 11)]
    )
    key = DATES[2] if figures is None else "DateTime"
    answer = {
        "empty": [],
        "bad date": rows[:-1] + [{**rows[-1], key: "2024-02-30"}],
        "no date column": [{k: v for k, v in row.items() if k != key} for row in rows],
        "epoch date": rows[:-1] + [{**rows[-1], key: 1704412800}],
        "not a row": [[1, 2, 3], [4, 5, 6]],
        "dict of columns": {column: [row[column] for row in rows] for column in rows[0]},
    }
    if figures is not None:
        first_figure = figures.split()[0]
        answer["text figure"] = rows[:-1] + [{**rows[-1], first_figure: "1000"}]
        answer["missing figure"] = [{k: v for k, v in row.items() if k != first_figure} for row in rows]
    handler = httpserver.expect_request(endpoint)
    if path in ("status 404", "not json"):
        handler.respond_with_data("not here", 404 if path == "status 404" else 200)
    else:
        handler.respond_with_json(answer.get(path, rows))
    args = [fresh("F", "PT"), fresh("2024-01-", "01"), fresh("2024-01-", "31")]
    if figures is not None:
        args.append(fresh({"regrouped": "W", "bad period": "no such rule"}.get(path, "D")))
    if name in UNIT_MODULES:
        args.append(fresh("x") if path == "bad unit" else float("1000.0"))
    args = {"too few arguments": args[:1], "str subclass": [type("Ticker", (str,), {})("FPT"), *args[1:]]}.get(
        path, args
    )
    kwargs = {"unexpected keyword": {"extra": object()}, "ticker twice": {"ticker": fresh("VNM")}}.get(path, {})
    fn, expect = getattr(module, function), DATA_PATHS[path]
    if expect is None:
        table = fn(*args)
        assert len(table) == {"rows": len(rows), "empty": 0, "regrouped": 2, "dict of columns": len(rows)}[path]
        assert (list(table.columns)[0] == "ticker") == (path == "regrouped")
    check(assert_no_leaks, monkeypatch, module, path, FAULTS.get(path), expect, fn, args, kwargs)


def _echo(*args, **kwargs):
    return args, kwargs


def _splat(guarded, keywords):
    return guarded(**keywords)


def _guarded_call(func=_echo):
    return DECORATE(func), [fresh("first"), object()], {"key": fresh("value")}


GUARD_PATHS = {  # path: expected exception, module global replaced, the call (fn, args, kwargs)
    "decorate": (None, None, lambda: (DECORATE, [_echo], {})),
    "decorate by keyword": (None, None, lambda: (DECORATE, [], {"func": _echo})),
    "no function": (TypeError, None, lambda: (DECORATE, [], {})),
    "two functions": (TypeError, None, lambda: (DECORATE, [_echo, _echo], {})),
    "func twice": (TypeError, None, lambda: (DECORATE, [_echo], {"func": _echo})),
    "unexpected keyword": (TypeError, None, lambda: (DECORATE, [_echo], {"other": object()})),
    "no wraps": (NameError, ("wraps", MISSING), lambda: (DECORATE, [_echo], {})),
    "wraps fails": (RuntimeError, ("wraps", _fail), lambda: (DECORATE, [_echo], {})),
    "call": (None, None, _guarded_call),
    "refused": (Exception, ("Client", type("C", (), {"token": None})), _guarded_call),
    "func fails": (RuntimeError, None, lambda: _guarded_call(_fail)),
    "Client() fails": (RuntimeError, ("Client", _fail), _guarded_call),
    "token fails": (RuntimeError, ("Client", type("C", (), {"token": property(_fail)})), _guarded_call),
    "no Client": (NameError, ("Client", MISSING), _guarded_call),
    "non-str keyword": (TypeError, None, lambda: (_splat, [_guarded_call()[0], {object(): fresh("v")}], {})),
}


@pytest.mark.parametrize("path", GUARD_PATHS)
def test_guard(monkeypatch, assert_no_leaks, logged_in, path):
    expect, fault, call = GUARD_PATHS[path]
    check(assert_no_leaks, monkeypatch, guard_module, path, fault, expect, *call())


@pytest.mark.parametrize("name", ["quorvex.process_stock.foreign", "quorvex.config.require_session"])
def test_import_again(assert_no_leaks, name):
    def again(name):
        sys.modules.pop(name, None)
        importlib.import_module(name)

    assert_no_leaks(again, name)


@pytest.mark.parametrize(
    "name", [*(f"quorvex.process_stock.{module}" for module in SERIES), "quorvex.config.require_session"]
)
def test_read_through_a_class(assert_no_leaks, name):
    module = importlib.import_module(name)
    fn = next(value for key, value in vars(module).items() if key.startswith(("get_", "require_")))
    holder = type("Holder", (), {"fn": fn})
    assert holder.fn is fn and holder().fn.__func__ is fn
    assert_no_leaks.calls = 2000  # a reference lost per read shows long before a crash
    assert_no_leaks.watch = [fn]
    assert_no_leaks(lambda: (holder.fn, holder().fn))
