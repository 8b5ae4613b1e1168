"""The login guard: ``quorvex.config.require_session.require_session``.

A guarded call builds a fresh ``Client()``, refuses with the built-in
``Exception`` while its ``token`` is ``None`` and otherwise calls the decorated
object with the caller's arguments. The guard's own module globals (``Client``,
``wraps``) are rebound here only to observe the calls or to inject a fault.
"""

import builtins
import gc
import os
import subprocess
import sys
import tempfile
import traceback
import weakref

import pytest

import quorvex.config.require_session as guard_module
from quorvex.config.require_session import require_session
from quorvex.process_client.login import Client

REFUSAL = "Chưa đăng nhập. Vui lòng đăng nhập trước."
# Traceback entries carry the source path with two backslash characters per separator.
SOURCE = "\\\\".join(["quorvex", "config", "require_session.py"])
DECORATOR_ENTRY = "quorvex.config.require_session.require_session"
WRAPPER_ENTRY = "quorvex.config.require_session.require_session.wrapper"


def entries(exc):
    """(filename, line, name) of every traceback entry of ``exc``."""
    return [(e.filename, e.lineno, e.name) for e in traceback.extract_tb(exc.__traceback__)]


def after_this_file(exc):
    """The traceback entries below the test's own frame."""
    found = entries(exc)
    assert found[0][0] == __file__
    return found[1:]


class Recorder:
    """A callable that records each call and returns a fixed object."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


@pytest.fixture
def counting_client(monkeypatch):
    """Rebind the guard's ``Client`` to a subclass that counts and tracks its instances."""

    class CountingClient(Client):
        instances = []

        def __init__(self):
            CountingClient.instances.append(weakref.ref(self))

    monkeypatch.setattr(guard_module, "Client", CountingClient)
    return CountingClient


# --- refusal and pass-through ------------------------------------------------------------


def test_refuses_while_logged_out(counting_client, logged_out):
    func = Recorder()
    guarded = require_session(func)
    for calls in (1, 2):
        with pytest.raises(Exception) as info:
            guarded(1, key="value")
        error = info.value
        assert type(error) is Exception
        assert error.args == (REFUSAL,)
        assert str(error) == REFUSAL
        assert error.__cause__ is None and error.__context__ is None
        assert after_this_file(error) == [(SOURCE, 16, WRAPPER_ENTRY)]
        assert len(counting_client.instances) == calls
    assert func.calls == []


@pytest.mark.parametrize("token", ["", 0, False, "test-token"])
def test_only_a_none_token_refuses(counting_client, token):
    Client.token = token
    result = object()
    func = Recorder(result)
    guarded = require_session(func)
    assert guarded(1, key=2) is result
    assert guarded() is result
    assert func.calls == [((1,), {"key": 2}), ((), {})]
    assert len(counting_client.instances) == 2
    # The client is only used for the check: nothing keeps it after the call.
    assert all(ref() is None for ref in counting_client.instances)


@pytest.mark.parametrize(
    "class_token, instance_token, refused",
    [(None, "per-instance", False), ("class-wide", None, True)],
)
def test_token_is_read_from_the_fresh_instance(monkeypatch, class_token, instance_token, refused):
    class InstanceClient:
        token = class_token

        def __init__(self):
            self.token = instance_token

    monkeypatch.setattr(guard_module, "Client", InstanceClient)
    guarded = require_session(Recorder("ran"))
    if refused:
        with pytest.raises(Exception, match=REFUSAL):
            guarded()
    else:
        assert guarded() == "ran"


def test_token_is_checked_at_each_call_not_at_decoration(logged_out):
    func = Recorder("ran")
    guarded = require_session(func)
    Client.token = "test-token"
    assert guarded() == "ran"
    Client.token = None
    with pytest.raises(Exception, match=REFUSAL):
        guarded()
    Client.token = "again"
    assert guarded() == "ran"
    assert len(func.calls) == 2


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (("one",), {}),
        ((), {"only": "keyword"}),
        ((None, 0, "", [], ()), {"a": None, "b": [1]}),
        (tuple(object() for _ in range(40)), {f"k{i}": object() for i in range(40)}),
    ],
    ids=["none", "positional", "keyword", "mixed", "many"],
)
def test_arguments_reach_func_unchanged(logged_in, args, kwargs):
    func = Recorder()
    require_session(func)(*args, **kwargs)
    [(got_args, got_kwargs)] = func.calls
    assert len(got_args) == len(args)
    assert all(got is sent for got, sent in zip(got_args, args))
    assert list(got_kwargs) == list(kwargs)
    assert all(got_kwargs[name] is kwargs[name] for name in kwargs)


@pytest.mark.parametrize("result", [None, 0, "", object(), [1, 2]], ids=repr)
def test_result_is_returned_unchanged(logged_in, result):
    assert require_session(lambda: result)() is result


def test_keyword_dict_of_the_caller_is_not_changed(logged_in):
    def mutates(**kwargs):
        kwargs["added"] = True
        del kwargs["kept"]
        return kwargs

    mine = {"kept": 1}
    assert require_session(mutates)(**mine) == {"added": True}
    assert mine == {"kept": 1}


def test_non_str_keyword_is_refused_before_the_client(counting_client, logged_in):
    calls = []

    def renamed(*args, **kwargs):
        calls.append(args)

    guarded = require_session(renamed)
    assert guarded.__name__ == "renamed"
    with pytest.raises(TypeError) as info:
        guarded(**{1: 2})
    message = str(info.value)
    # On 3.9 the dict reaches the wrapper, which names itself by its defined name
    # whatever `wraps` made of __name__; a later interpreter may refuse it earlier.
    if sys.version_info[:2] == (3, 9):
        assert message == "wrapper() keywords must be strings"
    else:
        assert "keywords must be strings" in message
    assert calls == []
    assert counting_client.instances == []


# --- exceptions and traceback entries ----------------------------------------------------


class Boom(Exception):
    pass


def test_exception_of_func_passes_unchanged(logged_in):
    boom = Boom("from func")

    def failing(*args, **kwargs):
        raise boom

    with pytest.raises(Boom) as info:
        require_session(failing)(1, x=2)
    assert info.value is boom
    assert info.value.__context__ is None
    assert after_this_file(info.value) == [
        (SOURCE, 19, WRAPPER_ENTRY),
        (__file__, failing.__code__.co_firstlineno + 1, "failing"),
    ]


class RaisingClient:
    def __init__(self):
        raise Boom("from Client()")


class RaisingTokenClient:
    @property
    def token(self):
        raise Boom("from token")


@pytest.mark.parametrize(
    "client, line, inner",
    [
        (RaisingClient, 12, "__init__"),
        (RaisingTokenClient, 15, "token"),
    ],
)
def test_client_failures_pass_unchanged(monkeypatch, logged_in, client, line, inner):
    monkeypatch.setattr(guard_module, "Client", client)
    func = Recorder()
    with pytest.raises(Boom) as info:
        require_session(func)()
    first, *rest = after_this_file(info.value)
    assert first == (SOURCE, line, WRAPPER_ENTRY)
    assert [(e[0], e[2]) for e in rest] == [(__file__, inner)]
    assert func.calls == []


def test_missing_client_global_is_a_name_error(monkeypatch, logged_in):
    monkeypatch.delattr(guard_module, "Client")
    guarded = require_session(Recorder())
    with pytest.raises(NameError) as info:
        guarded()
    assert info.value.args == ("name 'Client' is not defined",)
    assert after_this_file(info.value) == [(SOURCE, 12, WRAPPER_ENTRY)]


def test_client_global_is_looked_up_at_each_call(monkeypatch, counting_client, logged_in):
    guarded = require_session(Recorder())
    guarded()
    assert len(counting_client.instances) == 1
    # Without a module global the builtins are searched; a module global shadows again.
    monkeypatch.delattr(guard_module, "Client")
    monkeypatch.setattr(builtins, "Client", counting_client, raising=False)
    guarded()
    assert len(counting_client.instances) == 2
    monkeypatch.setattr(guard_module, "Client", RaisingClient, raising=False)
    with pytest.raises(Boom):
        guarded()
    assert len(counting_client.instances) == 2


def test_non_callable_fails_only_when_called(logged_in):
    guarded = require_session(5)
    assert guarded.__wrapped__ == 5
    with pytest.raises(TypeError) as info:
        guarded()
    assert info.value.args == ("'int' object is not callable",)
    assert after_this_file(info.value) == [(SOURCE, 19, WRAPPER_ENTRY)]


def test_missing_wraps_fails_the_decoration(monkeypatch):
    monkeypatch.delattr(guard_module, "wraps")
    with pytest.raises(NameError) as info:
        require_session(Recorder())
    assert info.value.args == ("name 'wraps' is not defined",)
    assert after_this_file(info.value) == [(SOURCE, 9, DECORATOR_ENTRY)]


def _raising_wraps(func):
    raise Boom("from wraps")


def _decorator_that_raises(func):
    def decorate(wrapper):
        raise Boom("from the decorator wraps returned")

    return decorate


@pytest.mark.parametrize(
    "wraps, inner",
    [(_raising_wraps, "_raising_wraps"), (_decorator_that_raises, "decorate")],
)
def test_failing_wraps_passes_unchanged(monkeypatch, wraps, inner):
    monkeypatch.setattr(guard_module, "wraps", wraps)
    with pytest.raises(Boom) as info:
        require_session(Recorder())
    found = after_this_file(info.value)
    assert found[0] == (SOURCE, 9, DECORATOR_ENTRY)
    assert [e[2] for e in found[1:]] == [inner]


def test_decorator_returns_what_wraps_makes_of_the_inner_function(monkeypatch, logged_in):
    seen = []

    def spy_wraps(func):
        def decorate(wrapper):
            seen.append((func, wrapper))
            return "what the decorator made"

        return decorate

    monkeypatch.setattr(guard_module, "wraps", spy_wraps)
    func = Recorder("ran")
    assert require_session(func) == "what the decorator made"
    [(got_func, inner)] = seen
    assert got_func is func
    # The inner function as the guard makes it, before `wraps` renames it.
    assert inner.__name__ == "wrapper"
    assert inner.__qualname__ == "require_session.<locals>.wrapper"
    assert inner.__module__ == "quorvex.config.require_session"
    assert inner.__doc__ is None
    assert inner.__code__.co_varnames == ("args", "kwargs", "client")
    assert inner.__code__.co_firstlineno == 9
    assert inner(7) == "ran"
    assert func.calls == [((7,), {})]


# --- what functools.wraps leaves on the guarded object -----------------------------------


def test_wraps_copies_the_identity_of_func(logged_in):
    def documented(a: int, b: "text" = "x") -> str:
        """Docstring of the decorated function."""
        return f"{a}{b}"

    marker = object()
    documented.marker = marker
    documented.__module__ = "some.module"
    guarded = require_session(documented)
    assert guarded is not documented
    assert guarded.__wrapped__ is documented
    assert guarded.__name__ == "documented"
    assert guarded.__qualname__ == documented.__qualname__
    assert guarded.__doc__ == "Docstring of the decorated function."
    assert guarded.__module__ == "some.module"
    assert guarded.__annotations__ == {"a": int, "b": "text", "return": str}
    assert guarded.marker is marker
    assert guarded(1) == "1x"


def test_decorator_itself_and_keyword_func(logged_in):
    assert require_session.__name__ == require_session.__qualname__ == "require_session"
    assert require_session.__module__ == "quorvex.config.require_session"
    assert require_session.__doc__ == (
        "require_session(func)\n\n"
        "    Decorator để đảm bảo rằng Client đã đăng nhập "
        "trước khi thực hiện function.\n"
        "    Nếu chưa đăng nhập, raise Exception.\n"
        "    "
    )
    func = Recorder("ran")
    guarded = require_session(func=func)
    assert guarded.__wrapped__ is func
    assert guarded(3) == "ran"


class Sized:
    """A class to decorate."""

    def __init__(self, *items):
        self.items = items

    def count(self, extra=0):
        return len(self.items) + extra


@pytest.mark.parametrize(
    "make, args, check",
    [
        (lambda: Sized, (1, 2), lambda r: type(r) is Sized and r.items == (1, 2)),
        (lambda: len, ([1, 2, 3],), lambda r: r == 3),
        (lambda: Sized(1, 2).count, (), lambda r: r == 2),
        (lambda: (lambda x, y=10: x * y), (4,), lambda r: r == 40),
    ],
    ids=["class", "builtin", "bound method", "lambda"],
)
def test_any_callable_can_be_guarded(logged_in, make, args, check):
    target = make()
    guarded = require_session(target)
    assert guarded.__wrapped__ == target
    assert guarded.__name__ == target.__name__
    assert check(guarded(*args))


def test_guarded_function_works_as_a_method(logged_in):
    def method(self, *args, **kwargs):
        return self, args, kwargs

    class Holder:
        guarded = require_session(method)

    holder = Holder()
    assert holder.guarded(1, k=2) == (holder, (1,), {"k": 2})
    assert Holder.guarded.__wrapped__ is method
    assert Holder.guarded("explicit") == ("explicit", (), {})
    Client.token = None
    with pytest.raises(Exception, match=REFUSAL):
        holder.guarded()


# --- binding of the decorator ------------------------------------------------------------


def _f():
    return "f"


def _g():
    return "g"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "require_session() takes exactly 1 positional argument (0 given)"),
        ((_f, _g), {}, "require_session() takes exactly 1 positional argument (2 given)"),
        ((_f,), {"func": _g}, "require_session() got multiple values for keyword argument 'func'"),
        ((), {"fn": _f}, "require_session() takes exactly 1 positional argument (0 given)"),
        ((_f,), {"other": _g}, "require_session() got an unexpected keyword argument 'other'"),
        (
            (),
            {"func": _f, "other": _g},
            "require_session() got an unexpected keyword argument 'other'",
        ),
    ],
    ids=["none", "two", "func twice", "unknown keyword only", "extra keyword", "func and extra"],
)
def test_decorator_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        require_session(*args, **kwargs)
    assert info.value.args == (message,)
    assert after_this_file(info.value) == [(SOURCE, 4, DECORATOR_ENTRY)]


# --- closures and garbage collection -----------------------------------------------------


def _attribute_cycle():
    def func():
        return "attr"

    func.me = require_session(func)
    return func, func.me


def _cell_cycle():
    def func():
        return guarded

    guarded = require_session(func)
    return func, guarded


@pytest.mark.parametrize("make_cycle", [_attribute_cycle, _cell_cycle], ids=["attribute", "cell"])
def test_cycles_through_the_closure_are_collected(logged_in, make_cycle):
    gc.collect()
    gc.disable()
    try:
        func, guarded = make_cycle()
        assert guarded() in ("attr", guarded)
        refs = [weakref.ref(func), weakref.ref(guarded)]
        del func, guarded
        # Only the cycle keeps them now: reference counting alone frees nothing.
        assert all(ref() is not None for ref in refs)
        gc.collect()
        assert all(ref() is None for ref in refs)
    finally:
        gc.enable()


def test_releasing_the_guarded_object_releases_func(logged_in):
    gc.collect()
    gc.disable()
    try:
        for _ in range(20):
            func = Recorder("ran")
            ref = weakref.ref(func)
            guarded = require_session(func)
            del func
            assert guarded() == "ran"
            del guarded
            # Reference counting alone frees it, even when the closure is kept for reuse.
            assert ref() is None
    finally:
        gc.enable()


def test_recycled_closures_keep_their_own_func(logged_in):
    def make(i, j):
        return lambda: (i, j)

    survivors = [(require_session(make("kept", j)), ("kept", j)) for j in range(3)]
    for i in range(60):
        # More at once than the closures the guard keeps for reuse, then all released.
        batch = [require_session(make(i, j)) for j in range(12)]
        assert [guarded() for guarded in batch] == [(i, j) for j in range(12)]
        del batch
        assert require_session(make(i, "single"))() == (i, "single")
        if i % 10 == 0:
            gc.collect()
    assert [guarded() for guarded, _ in survivors] == [want for _, want in survivors]


# --- import ------------------------------------------------------------------------------


def test_import_pulls_in_neither_requests_nor_pandas():
    code = (
        "import sys\n"
        "import quorvex.config.require_session\n"
        "assert 'requests' not in sys.modules, 'requests'\n"
        "assert 'pandas' not in sys.modules, 'pandas'\n"
        "assert 'quorvex.process_client.login' in sys.modules\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", code],
        env=dict(os.environ),
        cwd=tempfile.gettempdir(),  # not the source tree, which would shadow the package
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
