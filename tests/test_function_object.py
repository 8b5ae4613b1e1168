"""The function objects of the package: attributes, code objects and object protocol."""

import copy
import gc
import importlib
import inspect
import pickle
import sys
import unicodedata
import weakref

import pytest

CO_OPTIMIZED, CO_NEWLOCALS, CO_VARARGS, CO_VARKEYWORDS, CO_NOFREE = 0x1, 0x2, 0x4, 0x8, 0x40
PIPELINE_LOCALS = ("client", "headers", "url", "params", "response", "data")

GUARD_DOC = (
    "require_session(func)\n\n"
    "    Decorator để đảm bảo rằng Client đã đăng nhập trước khi thực hiện function.\n"
    "    Nếu chưa đăng nhập, raise Exception.\n"
    "    "
)

# module, function, local names (parameters first), argument count, first line, docstring
FUNCTIONS = [
    ("quorvex.process_stock.foreign", "get_foreign",
     ("ticker", "fromDate", "toDate", "period", "unit") + PIPELINE_LOCALS + ("cols",), 5, 7,
     "get_foreign(ticker, fromDate, toDate, period, unit)"),
    ("quorvex.process_stock.matchBook", "get_match_book",
     ("ticker", "fromDate", "toDate", "period") + PIPELINE_LOCALS, 4, 9,
     "get_match_book(ticker, fromDate, toDate, period)"),
    ("quorvex.process_stock.dealerDesk", "get_dealerDesk",
     ("ticker", "fromDate", "toDate", "period", "unit") + PIPELINE_LOCALS + ("cols",), 5, 9,
     "get_dealerDesk(ticker, fromDate, toDate, period, unit)"),
    ("quorvex.process_stock.pricebars", "get_pricebars",
     ("ticker", "fromDate", "toDate", "period") + PIPELINE_LOCALS, 4, 9,
     "get_pricebars(unicode ticker: str, unicode fromDate: str, unicode toDate: str, "
     "unicode period: str)"),
    ("quorvex.process_stock.dividend", "get_dividend",
     ("ticker", "fromDate", "toDate") + PIPELINE_LOCALS + ("cols", "col"), 3, 7,
     "get_dividend(ticker, fromDate, toDate)"),
    ("quorvex.config.require_session", "require_session", ("func", "wrapper", "wrapper"), 1, 4,
     GUARD_DOC),
]
IDS = [entry[1] for entry in FUNCTIONS]


def function(module, name):
    return getattr(importlib.import_module(module), name)


def all_functions():
    return [function(module, name) for module, name, *_ in FUNCTIONS]


def code_path(module):
    """Source path with one backslash character per separator."""
    return module.replace(".", "\\") + ".py"


def plain(*args, **kwargs):
    return args, kwargs


@pytest.fixture
def wrapper():
    """A function object of the package's type that no other test shares."""
    from quorvex.config.require_session import require_session

    return require_session(plain)


# --- attributes as read ----------------------------------------------------------------

@pytest.mark.parametrize("module, name, varnames, argcount, first_line, doc", FUNCTIONS,
                         ids=IDS)
def test_attributes(module, name, varnames, argcount, first_line, doc):
    fn = function(module, name)
    assert fn.__name__ == fn.func_name == name
    assert sys.intern(name) is fn.__name__
    assert fn.__qualname__ == name
    assert fn.__module__ == module
    assert fn.__doc__ == fn.func_doc == doc
    assert unicodedata.is_normalized("NFC", fn.__doc__)
    assert fn.__globals__ is fn.func_globals is sys.modules[module].__dict__
    assert fn.__closure__ is None and fn.func_closure is None
    assert fn.__code__ is fn.func_code
    assert fn.__defaults__ is None and fn.func_defaults is None
    assert fn.__kwdefaults__ is None
    assert fn._is_coroutine is False
    assert not inspect.iscoroutinefunction(fn)
    assert fn.__dict__ == {} and fn.__dict__ is fn.func_dict
    if name == "get_pricebars":
        assert list(fn.__annotations__.items()) == [
            ("ticker", "str"), ("fromDate", "str"), ("toDate", "str"), ("period", "str")]
    else:
        assert fn.__annotations__ == {}
    # Made once, then kept: a second read gives the same dict.
    assert fn.__annotations__ is fn.__annotations__


@pytest.mark.parametrize("module, name, varnames, argcount, first_line, doc", FUNCTIONS,
                         ids=IDS)
def test_code_object(module, name, varnames, argcount, first_line, doc):
    code = function(module, name).__code__
    assert code.co_name == name
    assert code.co_argcount == argcount
    assert code.co_posonlyargcount == code.co_kwonlyargcount == 0
    assert code.co_varnames == varnames
    assert code.co_nlocals == len(varnames)
    assert code.co_flags & ~CO_NOFREE == CO_OPTIMIZED | CO_NEWLOCALS
    assert code.co_filename == code_path(module)
    assert code.co_firstlineno == first_line
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()


def test_guard_wrapper_code_object(wrapper):
    # functools.wraps copies names and docs, not the code: it stays the wrapper's own.
    code = wrapper.__code__
    assert (code.co_name, code.co_argcount, code.co_varnames, code.co_nlocals) == (
        "wrapper", 0, ("args", "kwargs", "client"), 3)
    assert code.co_flags & ~CO_NOFREE == CO_OPTIMIZED | CO_NEWLOCALS | CO_VARARGS | CO_VARKEYWORDS
    assert (code.co_filename, code.co_firstlineno) == ("quorvex\\config\\require_session.py", 9)
    assert str(inspect.signature(wrapper, follow_wrapped=False)) == "(*args, **kwargs)"
    assert wrapper.__wrapped__ is plain
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__) == (
        plain.__name__, plain.__qualname__, plain.__module__)


@pytest.mark.parametrize("module, name, varnames, argcount, first_line, doc", FUNCTIONS,
                         ids=IDS)
def test_signature(module, name, varnames, argcount, first_line, doc):
    annotation = "str" if name == "get_pricebars" else inspect.Parameter.empty
    parameters = inspect.signature(function(module, name)).parameters.values()
    assert [(p.name, p.kind, p.default, p.annotation) for p in parameters] == [
        (v, inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty, annotation)
        for v in varnames[:argcount]]


# --- attribute assignment --------------------------------------------------------------

STRING_ERRORS = [
    ("__name__", "__name__ must be set to a string object"),
    ("func_name", "__name__ must be set to a string object"),
    ("__qualname__", "__qualname__ must be set to a string object"),
]
REFUSED = [(attr, 1, message) for attr, message in STRING_ERRORS] + [
    ("__dict__", [], "setting function's dictionary to a non-dict"),
    ("func_dict", None, "setting function's dictionary to a non-dict"),
    ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
    ("func_defaults", {}, "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", [("ticker", "str")], "__annotations__ must be set to a dict object"),
]
DELETE_REFUSED = STRING_ERRORS + [
    ("__dict__", "function's dictionary may not be deleted"),
    ("func_dict", "function's dictionary may not be deleted"),
]
READ_ONLY = ["__globals__", "func_globals", "__closure__", "func_closure", "__code__",
             "func_code", "_is_coroutine"]


@pytest.mark.parametrize("attr, value, message", REFUSED, ids=[r[0] for r in REFUSED])
def test_refused_assignments(attr, value, message, wrapper):
    for fn in all_functions() + [wrapper]:
        before = getattr(fn, attr)
        with pytest.raises(TypeError) as caught:
            setattr(fn, attr, value)
        assert caught.value.args == (message,)
        assert getattr(fn, attr) == before


@pytest.mark.parametrize("attr, message", DELETE_REFUSED, ids=[r[0] for r in DELETE_REFUSED])
def test_refused_deletions(attr, message):
    for fn in all_functions():
        with pytest.raises(TypeError) as caught:
            delattr(fn, attr)
        assert caught.value.args == (message,)


@pytest.mark.parametrize("attr", READ_ONLY)
def test_read_only_attributes(attr):
    for fn in all_functions():
        before = getattr(fn, attr)
        with pytest.raises(AttributeError):
            setattr(fn, attr, before)
        with pytest.raises(AttributeError):
            delattr(fn, attr)


def test_accepted_assignments(wrapper):
    class Name(str):
        pass

    name = Name("renamed")
    wrapper.__name__ = name
    assert wrapper.__name__ is name and wrapper.func_name is name
    wrapper.func_name = "again"
    assert wrapper.__name__ == "again"
    wrapper.__qualname__ = "Outer.renamed"
    assert wrapper.__qualname__ == "Outer.renamed" and "Outer.renamed" in repr(wrapper)
    wrapper.__doc__ = 42
    assert wrapper.func_doc == 42
    del wrapper.func_doc
    assert wrapper.__doc__ is None
    wrapper.__module__ = 3.5
    assert wrapper.__module__ == 3.5


def test_attribute_dictionary(wrapper):
    assert wrapper.__dict__ == {"__wrapped__": plain}
    wrapper.colour = "red"
    assert wrapper.__dict__ == {"__wrapped__": plain, "colour": "red"}
    del wrapper.colour
    with pytest.raises(AttributeError):
        wrapper.colour
    replacement = {"size": 3}
    wrapper.__dict__ = replacement
    assert wrapper.func_dict is replacement and wrapper.size == 3
    assert not hasattr(wrapper, "__wrapped__")


def test_annotations_cleared_by_none_or_deletion(wrapper):
    given = {"x": int}
    wrapper.__annotations__ = given
    assert wrapper.__annotations__ is given
    wrapper.__annotations__ = None
    fresh = wrapper.__annotations__
    assert fresh == {} and fresh is not given
    fresh["y"] = str
    del wrapper.__annotations__
    assert wrapper.__annotations__ == {}


@pytest.mark.parametrize("attr, value", [
    ("__defaults__", ("FPT", "2024-01-01", "2024-01-31")),
    ("func_defaults", ("FPT", "2024-01-01", "2024-01-31")),
    ("__kwdefaults__", {"ticker": "FPT", "fromDate": "2024-01-01", "toDate": "2024-01-31"}),
])
def test_defaults_are_stored_but_never_used(attr, value, httpserver):
    from quorvex.process_stock.dividend import get_dividend

    with pytest.warns(RuntimeWarning) as caught:
        setattr(get_dividend, attr, value)
    assert len(caught) == 1
    try:
        assert getattr(get_dividend, attr) is value
        with pytest.raises(TypeError) as error:
            get_dividend()
        assert str(error.value) == "get_dividend() takes exactly 3 positional arguments (0 given)"
        assert httpserver.log == []
    finally:
        with pytest.warns(RuntimeWarning):
            delattr(get_dividend, attr)
    assert getattr(get_dividend, attr) is None
    with pytest.warns(RuntimeWarning):
        setattr(get_dividend, attr, None)


# --- object protocol -------------------------------------------------------------------

def test_one_type_for_every_function(wrapper):
    types = {type(fn) for fn in all_functions() + [wrapper]}
    assert len(types) == 1
    assert gc.is_tracked(wrapper)


def test_pickles_and_copies_by_reference():
    for fn in all_functions():
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(fn, protocol)) is fn
        assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn


def test_repr_names_qualified_name_and_address():
    for fn in all_functions():
        text = repr(fn)
        assert fn.__qualname__ in text and format(id(fn), "x") in text.lower()


def test_read_through_instance_gives_bound_method(httpserver, logged_in):
    from quorvex.config.require_session import require_session
    from quorvex.process_stock.dividend import get_dividend

    class Holder:
        fetch = get_dividend
        guarded = require_session(plain)

        def __str__(self):
            return "VNM"

    holder = Holder()
    assert Holder.fetch is get_dividend
    bound = holder.fetch
    assert (bound.__self__, bound.__func__) == (holder, get_dividend)
    # The instance arrives as the first argument, on both the direct and the bound path.
    assert holder.guarded(1, key=2) == ((holder, 1), {"key": 2})
    method = holder.guarded
    assert method(3) == ((holder, 3), {})
    httpserver.expect_request("/api/stock/diviend").respond_with_json([])
    holder.fetch("2024-01-01", "2024-01-31")
    bound("2024-02-01", "2024-02-29")
    assert [request.args["ticker"] for request, _ in httpserver.log] == ["VNM", "VNM"]
    with pytest.raises(TypeError) as caught:
        holder.fetch("2024-01-01")
    assert str(caught.value) == "get_dividend() takes exactly 3 positional arguments (2 given)"


def test_weak_references():
    from quorvex.config.require_session import require_session

    for fn in all_functions():
        assert weakref.ref(fn)() is fn
    wrapper = require_session(plain)
    ref = weakref.ref(wrapper)
    assert ref() is wrapper
    del wrapper
    assert ref() is None


def _cycle_through_own_dict(wrapper):
    wrapper.me = wrapper


def _cycle_through_decorated(wrapper):
    # The decorated object refers back to its wrapper; with __wrapped__ gone the cycle
    # runs only through the wrapper's own hold on what it decorates.
    decorated = wrapper.__wrapped__
    del wrapper.__wrapped__
    decorated.wrapper = wrapper


@pytest.mark.parametrize("make_cycle", [_cycle_through_own_dict, _cycle_through_decorated])
def test_cycles_are_collected(make_cycle):
    from quorvex.config.require_session import require_session

    def decorated():
        pass

    wrapper = require_session(decorated)
    make_cycle(wrapper)
    refs = [weakref.ref(wrapper), weakref.ref(decorated)]
    del wrapper, decorated
    gc.collect()
    assert [ref() for ref in refs] == [None, None]

