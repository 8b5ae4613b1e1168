"""The login guard require_session: refusal, pass-through, failures and their traceback entries."""

import gc
import traceback
import weakref

import pytest

import quorvex.config.require_session as guard_module
from quorvex.config.require_session import require_session
from quorvex.process_client.login import Client
from source_tables import def_line, guard_lines

REFUSAL = "Chưa đăng nhập. Vui lòng đăng nhập trước."
SOURCE = "quorvex\\\\config\\\\require_session.py"
OUTER = "quorvex.config.require_session.require_session"
WRAPPER = OUTER + ".wrapper"
STEP = guard_lines()  # the line each step of the decorator and the wrapper reports


def entries(exc):
    found = [(e.filename, e.lineno, e.name) for e in traceback.extract_tb(exc.__traceback__)]
    assert found[0][0] == __file__
    return found[1:]


class Boom(Exception):
    pass


def _raise(*args, **kwargs):
    raise Boom("boom")


def _identities(calls):
    return [([id(v) for v in a], [(k, id(v)) for k, v in kw.items()]) for a, kw in calls]


@pytest.mark.parametrize("token", [None, "", 0, False, "test-token"])
def test_only_a_none_token_refuses(monkeypatch, token):
    made, calls, result = [], [], object()
    client = type("C", (Client,), {"__init__": lambda self: made.append(self)})
    monkeypatch.setattr(guard_module, "Client", client)
    Client.token = token
    guarded = require_session(lambda *args, **kwargs: calls.append((args, kwargs)) or result)
    sent = [(tuple(object() for _ in range(40)), {f"k{i}": object() for i in range(40)}), ((), {})]
    for args, kwargs in sent:
        if token is not None:
            assert guarded(*args, **kwargs) is result
            continue
        with pytest.raises(Exception) as info:
            guarded(*args, **kwargs)
        assert type(info.value) is Exception and info.value.args == (REFUSAL,)
        assert info.value.__context__ is None and entries(info.value) == [(SOURCE, STEP["refusal"], WRAPPER)]
    assert len(made) == 2 and _identities(calls) == ([] if token is None else _identities(sent))


MISSING = object()
RAISE = (__file__, _raise.__code__.co_firstlineno + 1, "_raise")


@pytest.mark.parametrize(
    "name, value, func, kwargs, error, expected",
    [
        ("Client", _raise, len, {}, Boom("boom"), [(SOURCE, STEP["client"], WRAPPER), RAISE]),
        (
            "Client",
            type("C", (), {"token": property(_raise)}),
            len,
            {},
            Boom("boom"),
            [(SOURCE, STEP["token"], WRAPPER), RAISE],
        ),
        ("Client", MISSING, len, {}, NameError("name 'Client' is not defined"), [(SOURCE, STEP["client"], WRAPPER)]),
        ("Client", Client, _raise, {"x": 2}, Boom("boom"), [(SOURCE, STEP["call"], WRAPPER), RAISE]),
        ("Client", Client, 5, {}, TypeError("'int' object is not callable"), [(SOURCE, STEP["call"], WRAPPER)]),
        # Refused before the wrapper runs: no Client is looked up, and it has no entry.
        ("Client", MISSING, len, {1: 2}, TypeError("wrapper() keywords must be strings"), []),
        ("wraps", _raise, len, {}, Boom("boom"), [(SOURCE, STEP["wraps"], OUTER), RAISE]),
        ("wraps", lambda func: _raise, len, {}, Boom("boom"), [(SOURCE, STEP["wraps"], OUTER), RAISE]),
        ("wraps", MISSING, len, {}, NameError("name 'wraps' is not defined"), [(SOURCE, STEP["wraps"], OUTER)]),
    ],
)
def test_failures_pass_unchanged(monkeypatch, logged_in, name, value, func, kwargs, error, expected):
    # func runs only where it is the failing one: len(**kwargs) would raise TypeError.
    if value is MISSING:
        monkeypatch.delattr(guard_module, name)
    else:
        monkeypatch.setattr(guard_module, name, value)
    with pytest.raises(type(error)) as info:
        require_session(func)(**kwargs)
    assert info.value.args == error.args and info.value.__context__ is None
    assert entries(info.value) == expected


def test_result_is_what_wraps_makes_of_the_wrapper(monkeypatch, logged_in):
    def documented(a: int) -> str:
        """Doc."""
        return str(a)

    documented.marker = object()
    guarded = require_session(func=documented)
    assert guarded.__wrapped__ is documented and guarded(1) == "1"
    names = ["__name__", "__qualname__", "__doc__", "__module__", "__annotations__", "marker"]
    assert [getattr(guarded, n) for n in names] == [getattr(documented, n) for n in names]
    monkeypatch.setattr(guard_module, "wraps", lambda func: lambda inner: (func, inner))
    got, inner = require_session(abs)
    assert got is abs and inner(-7) == 7
    assert (inner.__name__, inner.__qualname__, inner.__module__, inner.__doc__) == (
        "wrapper",
        "require_session.<locals>.wrapper",
        "quorvex.config.require_session",
        None,
    )


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "takes exactly 1 positional argument (0 given)"),
        ((len, abs), {}, "takes exactly 1 positional argument (2 given)"),
        ((len,), {"func": abs}, "got multiple values for keyword argument 'func'"),
        ((), {"fn": len}, "takes exactly 1 positional argument (0 given)"),
        ((len,), {"other": abs}, "got an unexpected keyword argument 'other'"),
        ((), {"func": len, "other": abs}, "got an unexpected keyword argument 'other'"),
    ],
)
def test_decorator_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        require_session(*args, **kwargs)
    assert info.value.args == ("require_session() " + message,)
    assert entries(info.value) == [(SOURCE, def_line(OUTER.rpartition(".")[0], "require_session"), OUTER)]


def test_closures_keep_their_own_func_and_cycles_are_collected(logged_in):
    kept = [require_session(lambda j=j: ("kept", j)) for j in range(3)]
    for i in range(30):
        # More at once than the guard keeps for reuse, then all released.
        batch = [require_session(lambda i=i, j=j: (i, j)) for j in range(12)]
        assert [guarded() for guarded in batch] == [(i, j) for j in range(12)]
        del batch
        assert require_session(lambda i=i: (i, "one"))() == (i, "one")
    assert [guarded() for guarded in kept] == [("kept", j) for j in range(3)]

    func = lambda: "func"  # noqa: E731
    func.me = require_session(func)
    refs = [weakref.ref(func), weakref.ref(func.me)]
    del func
    gc.collect()
    assert [ref() for ref in refs] == [None, None]
