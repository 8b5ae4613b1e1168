"""The function objects of the package: attributes, code objects and object protocol."""

import copy
import gc
import importlib
import inspect
import pickle
import sys
import weakref

import pytest

from quorvex.config.require_session import require_session
from quorvex.process_stock.dividend import get_dividend
from source_tables import def_line

CO_OPT_NEW, CO_VARARGS, CO_VARKEYWORDS = 0x1 | 0x2, 0x4, 0x8
LOCALS = ("client", "headers", "url", "params", "response", "data")
P4 = ("ticker", "fromDate", "toDate", "period")
P5 = P4 + ("unit",)
# module, function, parameters, further local names, first line
FUNCTIONS = [
    (*row, def_line(*row[:2]))
    for row in [
        ("quorvex.process_stock.foreign", "get_foreign", P5, LOCALS + ("cols",)),
        ("quorvex.process_stock.matchBook", "get_match_book", P4, LOCALS),
        ("quorvex.process_stock.dealerDesk", "get_dealerDesk", P5, LOCALS + ("cols",)),
        ("quorvex.process_stock.pricebars", "get_pricebars", P4, LOCALS),
        ("quorvex.process_stock.dividend", "get_dividend", P4[:3], LOCALS + ("cols", "col")),
        ("quorvex.config.require_session", "require_session", ("func",), ("wrapper", "wrapper")),
    ]
]
FNS = [getattr(importlib.import_module(module), name) for module, name, *_ in FUNCTIONS]
DOCS = {
    "get_pricebars": "get_pricebars(unicode ticker: str, unicode fromDate: str, unicode "
    "toDate: str, unicode period: str)",
    "require_session": "require_session(func)\n\n    "
    "Decorator để đảm bảo rằng Client đã đăng nhập trước khi thực hiện function.\n    "
    "Nếu chưa đăng nhập, raise Exception.\n    ",
}


@pytest.mark.parametrize("module, name, params, other_locals, line", FUNCTIONS, ids=[f[1] for f in FUNCTIONS])
def test_attributes_and_code(module, name, params, other_locals, line):
    fn = getattr(importlib.import_module(module), name)
    doc = DOCS.get(name, f"{name}({', '.join(params)})")
    assert sys.intern(name) is fn.__name__ and fn.func_name == fn.__qualname__ == name
    assert (fn.__module__, fn.__doc__, fn.func_doc) == (module, doc, doc)
    assert fn.__globals__ is fn.func_globals is sys.modules[module].__dict__
    assert fn.__code__ is fn.func_code and fn.__dict__ is fn.func_dict and fn.__dict__ == {}
    assert fn.__closure__ is fn.func_closure is fn.__defaults__ is fn.__kwdefaults__ is None
    assert fn._is_coroutine is False and fn.__annotations__ is fn.__annotations__  # made once
    note = ": 'str'" if name == "get_pricebars" else ""
    assert str(inspect.signature(fn)) == "(" + ", ".join(p + note for p in params) + ")"
    assert list(fn.__annotations__.items()) == [(p, "str") for p in params if note]
    code, varnames = fn.__code__, params + other_locals
    counts = (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount, code.co_nlocals)
    assert (code.co_name, code.co_varnames, counts) == (name, varnames, (len(params), 0, 0, len(varnames)))
    assert code.co_flags == CO_OPT_NEW
    assert (code.co_filename, code.co_firstlineno) == (module.replace(".", "\\") + ".py", line)
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()
    if name == "require_session":  # and the guard's inner function
        code, flags = require_session(len).__code__, CO_OPT_NEW | CO_VARARGS | CO_VARKEYWORDS
        assert (code.co_name, code.co_argcount, code.co_nlocals, code.co_flags) == ("wrapper", 0, 3, flags)


NAME, QUALNAME = ("%s must be set to a string object" % a for a in ("__name__", "__qualname__"))
COUNT = "get_dividend() takes exactly 3 positional arguments (%d given)"
NON_DICT = "setting function's dictionary to a non-dict"
# attribute and alias, refused value, its message, message when deleted (None: allowed)
REFUSED = [
    ("__name__ func_name", 1, NAME, NAME),
    ("__qualname__", 1, QUALNAME, QUALNAME),
    ("__dict__ func_dict", [], NON_DICT, "function's dictionary may not be deleted"),
    ("func_dict", None, NON_DICT, "function's dictionary may not be deleted"),
    ("__defaults__ func_defaults", [1], "__defaults__ must be set to a tuple object", None),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object", None),
    ("__annotations__", [("ticker", "str")], "__annotations__ must be set to a dict object", None),
]


def refused(error, message, change, *args):
    with pytest.raises(error) as caught:
        change(*args)
    assert message is None or caught.value.args == (message,)


def test_refused_changes():
    for fn in FNS + [require_session(len)]:
        for names, value, message, deletion in REFUSED:
            for name in names.split():
                before = getattr(fn, name)
                refused(TypeError, message, setattr, fn, name, value)
                if deletion:
                    refused(TypeError, deletion, delattr, fn, name)
                assert getattr(fn, name) == before
        for name in ("__globals__ func_globals __closure__ func_closure __code__ func_code _is_coroutine").split():
            refused(AttributeError, None, setattr, fn, name, getattr(fn, name))
            refused(AttributeError, None, delattr, fn, name)


def test_accepted_changes():
    wrapper, name = require_session(len), type("Name", (str,), {})("renamed")
    wrapper.func_name, wrapper.__qualname__, wrapper.__doc__ = name, "Q.x", 42
    wrapper.__module__, wrapper.colour = 3.5, "red"
    assert wrapper.__name__ is name and "Q.x" in repr(wrapper)
    assert (wrapper.__qualname__, wrapper.func_doc, wrapper.__module__) == ("Q.x", 42, 3.5)
    assert wrapper.__dict__ == {"__wrapped__": len, "colour": "red"}
    del wrapper.func_doc, wrapper.colour
    assert wrapper.__doc__ is None and not hasattr(wrapper, "colour")
    wrapper.__dict__ = replacement = {"size": 3}
    assert wrapper.func_dict is replacement and wrapper.size == 3
    for delete in (False, True):  # None or deletion clears: a fresh dict on the next read
        wrapper.__annotations__ = given = {"x": int}
        assert wrapper.__annotations__ is given
        delattr(wrapper, "__annotations__") if delete else setattr(wrapper, "__annotations__", None)
        assert wrapper.__annotations__ == {} and wrapper.__annotations__ is not given
    # Defaults are stored, with a warning, but binding never uses them.
    given = ("FPT", "2024-01-01", "2024-01-31")
    for attr, value in [("__defaults__", given), ("__kwdefaults__", dict(zip(P4, given)))]:
        with pytest.warns(RuntimeWarning) as caught:
            setattr(get_dividend, attr, value)
        assert len(caught) == 1 and getattr(get_dividend, attr) is value
        refused(TypeError, COUNT % 0, get_dividend)
        with pytest.warns(RuntimeWarning):
            delattr(get_dividend, attr)
    assert get_dividend.__defaults__ is get_dividend.__kwdefaults__ is None


def test_object_protocol(httpserver):
    assert len({type(fn) for fn in FNS + [require_session(len)]}) == 1
    for fn in FNS:
        assert all(pickle.loads(pickle.dumps(fn, p)) is fn for p in range(6))
        assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn
        assert fn.__qualname__ in repr(fn) and format(id(fn), "x") in repr(fn).lower()
        assert weakref.ref(fn)() is fn and gc.is_tracked(fn)
    # Read through an instance, a function gives a bound method; through the class, itself.
    holder = type("Holder", (), {"fetch": get_dividend, "__str__": lambda self: "VNM"})()
    bound = holder.fetch
    assert type(holder).fetch is get_dividend is bound.__func__ and bound.__self__ is holder
    httpserver.expect_request("/api/stock/diviend").respond_with_json([])
    holder.fetch("2024-01-01", "2024-01-31")
    assert [request.args["ticker"] for request, _ in httpserver.log] == ["VNM"]
    refused(TypeError, COUNT % 2, bound, "2024-01-01")
    cycles = {
        "me": lambda wrapper: wrapper,
        "__doc__": lambda wrapper: wrapper,
        "__module__": lambda wrapper: wrapper,
        "__annotations__": lambda wrapper: {"back": wrapper},
    }
    if hasattr(get_dividend, "__annotate__"):
        cycles["__annotate__"] = lambda wrapper: lambda format, back=wrapper: {}
    for attr, back in cycles.items():  # a cycle through each
        wrapper = require_session(lambda: None)
        refs = [weakref.ref(wrapper), weakref.ref(wrapper.__wrapped__)]
        setattr(wrapper, attr, back(wrapper))
        del wrapper
        gc.collect()
        assert [ref() for ref in refs] == [None, None]


def outcome(action, *args):
    """What an action gives: its result, or the type and arguments of its error."""
    try:
        return action(*args)
    except Exception as error:
        return type(error), error.args


def annotate_story(fn):
    """Everything `__annotate__` and `__annotations__` show through a series of changes."""
    calls = []

    def annotate(format):
        calls.append(format)
        return {"x": Later}

    story = [hasattr(fn, "__annotate__")]
    if not story[0]:  # no lazy annotations before 3.14
        return story
    story += [fn.__annotate__, fn.__annotations__]
    story += [outcome(setattr, fn, "__annotate__", value) for value in (3, "x", {})]
    story += [outcome(delattr, fn, "__annotate__"), fn.__annotate__]
    fn.__annotate__ = annotate
    Later = int  # read when the annotations are, not before
    story += [fn.__annotate__ is annotate, fn.__annotations__, fn.__annotations__ is fn.__annotations__, calls]
    for bad in (lambda format: ["x"], lambda format: 1 / 0, lambda: {}):
        fn.__annotate__ = bad
        story += [outcome(getattr, fn, "__annotations__"), fn.__annotate__ is bad]
    fn.__annotations__ = given = {"y": 1}  # drops __annotate__
    story += [fn.__annotate__, fn.__annotations__ is given]
    fn.__annotate__ = None  # keeps the annotations
    story += [fn.__annotations__ is given]
    fn.__annotate__ = annotate
    story += [fn.__annotations__ == {"x": int}, len(calls)]
    del fn.__annotations__
    story += [fn.__annotate__, fn.__annotations__]
    return story


def test_annotate_as_on_a_python_function():
    def plain():
        pass

    assert annotate_story(require_session(lambda: None)) == annotate_story(plain)
