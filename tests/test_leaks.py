"""No call of a public function leaves references or memory behind, on any path.

Each check runs one path of one function many times through ``assert_no_leaks``
(see tests/helpers.py): allocated blocks must stop growing, and the argument
objects' reference counts must come back unchanged. The arguments are fresh,
non-interned objects made by the test, so their counts move only with what the
call does to them. Before each check one call shows that the path taken is the
intended one.
"""

import importlib
import inspect
import re

import pytest
import requests

from quorvex.config import require_session as guard_module
from quorvex.process_client.login import Client

JSONDecodeError = getattr(requests.exceptions, "JSONDecodeError", ValueError)


def fresh(*parts):
    """A new str object with the text of ``parts`` joined (never an interned constant)."""
    return "".join(parts + ("",))


def days(n, **columns):
    """``n`` daily rows from 2024-01-01 on, each with ``columns`` (a callable of the day)."""
    return [
        {"DateTime": f"2024-01-{day:02d}", **{name: make(day) for name, make in columns.items()}}
        for day in range(1, n + 1)
    ]


DATE_COLUMNS = ["Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"]


class DataFunction:
    """What a check needs to know of one data function."""

    def __init__(self, module, name, path, rows, period=True, unit=False):
        self.module = importlib.import_module(f"quorvex.process_stock.{module}")
        self.fn = getattr(self.module, name)
        self.path = path
        self.rows = rows
        self.period = period
        self.unit = unit

    def arguments(self, period="D"):
        """Fresh positional arguments of a call with ``period`` (ignored where there is none)."""
        args = [fresh("F", "PT"), fresh("2024-01-", "01"), fresh("2024-01-", "31")]
        if self.period:
            args.append(fresh(period))
        if self.unit:
            args.append(float("1000.0"))
        return args


FUNCTIONS = {
    "pricebars": DataFunction(
        "pricebars",
        "get_pricebars",
        "/api/stock/pricebars",
        days(
            10,
            Open=lambda d: 10 + d,
            High=lambda d: 12 + d,
            Low=lambda d: 9 + d,
            Close=lambda d: 11 + d,
            Volume=lambda d: 100 * d,
        ),
    ),
    "foreign": DataFunction(
        "foreign",
        "get_foreign",
        "/api/stock/foreign",
        days(
            10,
            Close=lambda d: 20.5 + d,
            buyForeignVolume=lambda d: 1000 * d,
            sellForeignVolume=lambda d: 900 * d,
            buyForeignValue=lambda d: 2.0e6 * d,
            sellForeignValue=lambda d: 1.5e6 * d,
            netForeignValue=lambda d: 0.5e6 * d,
        ),
        unit=True,
    ),
    "dealerDesk": DataFunction(
        "dealerDesk",
        "get_dealerDesk",
        "/api/stock/dealerDesk",
        days(10, dealerDeskNetValue=lambda d: 1.0e6 * (d - 5)),
        unit=True,
    ),
    "matchBook": DataFunction(
        "matchBook",
        "get_match_book",
        "/api/stock/sAndD",
        days(
            10,
            buyCount=lambda d: d % 3,
            buyVolume=lambda d: 10 * (d % 3),
            sellCount=lambda d: d % 2,
            sellVolume=lambda d: 20 * (d % 2),
        ),
    ),
    "dividend": DataFunction(
        "dividend",
        "get_dividend",
        "/api/stock/diviend",
        [
            {
                DATE_COLUMNS[0]: "2024-01-05",
                DATE_COLUMNS[1]: "2024-01-08",
                DATE_COLUMNS[2]: "-",
                "Nội dung": "Cổ tức bằng tiền",
                "Tỷ lệ": "-",
            },
            {
                DATE_COLUMNS[0]: "2024-02-05",
                DATE_COLUMNS[1]: "2024-02-06",
                DATE_COLUMNS[2]: "2024-03-01",
                "Nội dung": "Cổ phiếu thưởng",
                "Tỷ lệ": "10%",
            },
        ],
        period=False,
    ),
}
WITH_PERIOD = [name for name, f in FUNCTIONS.items() if f.period]


@pytest.fixture
def assert_no_leaks(assert_no_leaks, request):
    """The shared check with shorter rounds: a data call costs a few milliseconds.

    A leak of one object or reference per call still grows every round by twice
    the allowance, so it is caught just the same. Only a test that scripts the
    server has a server thread to wait for before each measurement.
    """
    assert_no_leaks.calls = 40
    assert_no_leaks.warmup = 5
    if "httpserver" not in inspect.signature(request.function).parameters:
        assert_no_leaks.settle = 0
    return assert_no_leaks


@pytest.fixture(autouse=True)
def _logged_in(logged_in):
    """The data functions send the token; the guard checks are set up per test."""


def check(assert_no_leaks, fn, args, kwargs=None, expect=None, match=None):
    """Show once that the call takes the intended path, then check it for leaks."""
    kwargs = kwargs or {}
    if expect is None:
        fn(*args, **kwargs)
    else:
        with pytest.raises(expect, match=match):
            fn(*args, **kwargs)
    assert_no_leaks(fn, *args, expect=expect, **kwargs)


# --- data functions: answers of the service ----------------------------------------------


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_rows_as_served(httpserver, assert_no_leaks, name):
    f = FUNCTIONS[name]
    httpserver.expect_request(f.path, method="GET").respond_with_json(f.rows)
    args = f.arguments("D")
    assert len(f.fn(*args)) == len(f.rows)
    check(assert_no_leaks, f.fn, args)


@pytest.mark.parametrize("name", WITH_PERIOD)
def test_regrouped(httpserver, assert_no_leaks, name):
    f = FUNCTIONS[name]
    httpserver.expect_request(f.path, method="GET").respond_with_json(f.rows)
    args = f.arguments("W-SUN")
    table = f.fn(*args)
    assert list(table.columns)[0] == "ticker"
    assert len(table) < len(f.rows)
    check(assert_no_leaks, f.fn, args)


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_empty_answer(httpserver, assert_no_leaks, name):
    f = FUNCTIONS[name]
    httpserver.expect_request(f.path, method="GET").respond_with_json([])
    args = f.arguments("D")
    assert len(f.fn(*args)) == 0
    check(assert_no_leaks, f.fn, args)


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_refused_status(httpserver, assert_no_leaks, name):
    f = FUNCTIONS[name]
    httpserver.expect_request(f.path, method="GET").respond_with_data("not here", status=404)
    check(assert_no_leaks, f.fn, f.arguments("D"), expect=ValueError, match="status:404\n")


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_body_that_is_not_json(httpserver, assert_no_leaks, name):
    f = FUNCTIONS[name]
    httpserver.expect_request(f.path, method="GET").respond_with_data(
        "<html>not json</html>", status=200, content_type="text/html"
    )
    check(assert_no_leaks, f.fn, f.arguments("D"), expect=JSONDecodeError)


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_rows_without_the_date_column(httpserver, assert_no_leaks, name):
    f = FUNCTIONS[name]
    missing = "DateTime" if f.period else DATE_COLUMNS[2]
    rows = [{k: v for k, v in row.items() if k != missing} for row in f.rows]
    httpserver.expect_request(f.path, method="GET").respond_with_json(rows)
    check(assert_no_leaks, f.fn, f.arguments("D"), expect=KeyError, match=missing)


@pytest.mark.parametrize("name", WITH_PERIOD)
def test_period_that_pandas_refuses(httpserver, assert_no_leaks, name):
    f = FUNCTIONS[name]
    httpserver.expect_request(f.path, method="GET").respond_with_json(f.rows)
    check(assert_no_leaks, f.fn, f.arguments("no such rule"), expect=ValueError)


# --- data functions: faults of the module's globals and of the client --------------------


@pytest.mark.parametrize(
    "name, global_name",
    [
        (name, global_name)
        for name, f in FUNCTIONS.items()
        for global_name in ["Client", "base_url", "requests", "pd"] + ([] if f.period else ["np"])
    ],
)
def test_missing_module_global(httpserver, monkeypatch, assert_no_leaks, name, global_name):
    f = FUNCTIONS[name]
    httpserver.expect_request(f.path, method="GET").respond_with_json(f.rows)
    monkeypatch.delattr(f.module, global_name)
    check(
        assert_no_leaks,
        f.fn,
        f.arguments("D"),
        expect=NameError,
        match=f"^name '{global_name}' is not defined$",
    )


class ClientFault(Exception):
    pass


class RefusingClient(Client):
    def __init__(self):
        raise ClientFault("no client")


class HeaderlessClient(Client):
    def _get_headers(self):
        raise ClientFault("no headers")


@pytest.mark.parametrize("client", [RefusingClient, HeaderlessClient])
@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_failing_client(monkeypatch, assert_no_leaks, name, client):
    f = FUNCTIONS[name]
    monkeypatch.setattr(f.module, "Client", client)
    check(assert_no_leaks, f.fn, f.arguments("D"), expect=ClientFault)


# --- data functions: refused bindings ----------------------------------------------------


class TickerText(str):
    """A str subclass: get_pricebars takes exactly str only."""


def bindings(f):
    """Refused calls of ``f``: label -> (positional args, keyword args, message start)."""
    args = f.arguments("D")
    name = f.fn.__name__
    count = f"{name}() takes exactly {len(args)} positional arguments (1 given)"
    cases = {
        "count": (args[:1], {}, count),
        "unexpected": (
            args,
            {"extra": object()},
            f"{name}() got an unexpected keyword argument 'extra'",
        ),
        "twice": (
            args,
            {"ticker": fresh("V", "NM")},
            f"{name}() got multiple values for keyword argument 'ticker'",
        ),
    }
    if name == "get_pricebars":
        by_keyword = dict(zip(["ticker", "fromDate", "toDate", "period"], args[:3] + [object()]))
        cases["type by position"] = (
            [TickerText("FPT")] + args[1:],
            {},
            "Argument 'ticker' has incorrect type",
        )
        cases["type by keyword"] = ([], by_keyword, "Argument 'period' has incorrect type")
    return cases


@pytest.mark.parametrize(
    "name, label",
    [(name, label) for name, f in FUNCTIONS.items() for label in bindings(f)],
)
def test_refused_binding(assert_no_leaks, name, label):
    f = FUNCTIONS[name]
    args, kwargs, message = bindings(f)[label]
    check(assert_no_leaks, f.fn, args, kwargs, expect=TypeError, match="^" + re.escape(message))


# --- the login guard ---------------------------------------------------------------------


class GuardFault(Exception):
    pass


def _new_function():
    """A new function object each time (a fresh argument for the decorator)."""

    def decorated(*args, **kwargs):
        return [args, kwargs]

    return decorated


def _raises(*args, **kwargs):
    raise GuardFault("from func")


def test_decorating(assert_no_leaks):
    check(assert_no_leaks, guard_module.require_session, [_new_function()])
    check(assert_no_leaks, guard_module.require_session, [], {"func": _new_function()})


@pytest.mark.parametrize("logged", [True, False], ids=["passing", "refused"])
def test_guarded_call(assert_no_leaks, logged):
    if not logged:
        Client.token = None
    guarded = guard_module.require_session(_new_function())
    args = [fresh("first"), object()]
    kwargs = {"key": fresh("keyword value")}
    if logged:
        check(assert_no_leaks, guarded, args, kwargs)
    else:
        refusal = "^Chưa đăng nhập"
        check(assert_no_leaks, guarded, args, kwargs, expect=Exception, match=refusal)


class _RaisingClient:
    def __init__(self):
        raise GuardFault("from Client()")


class _RaisingToken:
    @property
    def token(self):
        raise GuardFault("from token")


@pytest.mark.parametrize(
    "fault",
    ["func", "Client()", "token", "no Client", "non-str keyword"],
)
def test_guarded_call_failing(monkeypatch, assert_no_leaks, fault):
    func = _raises if fault == "func" else _new_function()
    guarded = guard_module.require_session(func)
    args = [fresh("first"), object()]
    kwargs = {"key": fresh("keyword value")}
    expect, match = GuardFault, None
    if fault == "Client()":
        monkeypatch.setattr(guard_module, "Client", _RaisingClient)
    elif fault == "token":
        monkeypatch.setattr(guard_module, "Client", _RaisingToken)
    elif fault == "no Client":
        monkeypatch.delattr(guard_module, "Client")
        expect, match = NameError, "^name 'Client' is not defined$"
    elif fault == "non-str keyword":
        # A non-str key can only be passed with **, so call through a helper.
        keywords = {object(): fresh("value")}

        def call_with(values, keywords):
            return guarded(*values, **keywords)

        guarded, args, kwargs = call_with, [args, keywords], {}
        expect, match = TypeError, "keywords must be strings"
    check(assert_no_leaks, guarded, args, kwargs, expect=expect, match=match)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ([], {}, r"require_session\(\) takes exactly 1 positional argument \(0 given\)"),
        ([_new_function(), _new_function()], {}, r"\(2 given\)"),
        ([_new_function()], {"func": _new_function()}, "multiple values for keyword .*'func'"),
        ([], {"function": _new_function()}, r"\(0 given\)"),
        ([_new_function()], {"other": object()}, "unexpected keyword argument 'other'"),
    ],
    ids=["none", "two", "func twice", "unknown keyword", "extra keyword"],
)
def test_decorator_refused_binding(assert_no_leaks, args, kwargs, message):
    decorate = guard_module.require_session
    check(assert_no_leaks, decorate, args, kwargs, expect=TypeError, match=message)


@pytest.mark.parametrize("fault", ["missing", "raising"])
def test_decorating_without_wraps(monkeypatch, assert_no_leaks, fault):
    if fault == "missing":
        monkeypatch.delattr(guard_module, "wraps")
        expect = NameError
    else:

        def wraps(func):
            raise GuardFault("from wraps")

        monkeypatch.setattr(guard_module, "wraps", wraps)
        expect = GuardFault
    check(assert_no_leaks, guard_module.require_session, [_new_function()], expect=expect)
