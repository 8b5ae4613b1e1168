"""Module import (each case in a fresh interpreter that reports back as JSON); removed globals."""

import importlib.util
import re
import sys
import traceback

import pytest

from helpers import PACKAGE_ROOT, STEP_LINES, TESTS_DIR, run_python
from source_tables import guard_lines, statement_line

DATA = ["Client", "base_url", "pd", "requests"]
GUARD, LOGIN = "quorvex.config.require_session", "quorvex.process_client.login"
NEEDED = {LOGIN: "Client", "quorvex.config.config": "base_url"}  # what the modules import
# module: (public function, names its statements bind)
MODULES = {
    "quorvex.process_stock.foreign": ("get_foreign", DATA),
    "quorvex.process_stock.matchBook": ("get_match_book", DATA),
    "quorvex.process_stock.dealerDesk": ("get_dealerDesk", DATA),
    "quorvex.process_stock.pricebars": ("get_pricebars", DATA + ["datetime"]),
    "quorvex.process_stock.dividend": ("get_dividend", DATA + ["np"]),
    GUARD: ("require_session", ["Client", "wraps"]),
}

# What a module reports about itself, and what importing it again gives; run in the child.
OBSERVE = r"""
import builtins, datetime, functools, importlib.util, json, sys
MACHINERY = set("__name__ __doc__ __package__ __loader__ __spec__ __file__ __cached__".split())

def observe(name, function):
    module, (parent, _, short) = sys.modules[name], name.rpartition(".")
    names, get, fn = vars(module), sys.modules.get, getattr(module, function)
    expected = {"Client": get("quorvex.process_client.login").Client, "requests": get("requests"),
                "base_url": get("quorvex.config.config").base_url, "pd": get("pandas"),
                "np": get("numpy"), "datetime": datetime.datetime, "wraps": functools.wraps,
                "__builtins__": builtins, function: fn}
    return [sorted(set(names) - MACHINERY),
            sorted(k for k in expected if k in names and names[k] is expected[k]),
            module.__doc__, module.__test__, module.__name__, module.__spec__.name,
            module.__package__, module.__file__ == module.__spec__.origin,
            getattr(get(parent), short, None) is module, fn.__name__, fn.__module__,
            fn.__globals__ is names, type(fn).__name__]

def import_again(name, function):
    first = sys.modules.pop(name)
    fn, names, again = getattr(first, function), sorted(vars(first)), importlib.import_module(name)
    return [again is first, getattr(again, function) is fn, sorted(vars(again)) == names,
            importlib.reload(again) is first, getattr(first, function) is fn,
            importlib.util.module_from_spec(importlib.util.find_spec(name)) is first]
"""


@pytest.fixture(scope="module")
def imported_alone():
    return {
        name: run_python(
            f"import {name}\n{OBSERVE}\nprint(json.dumps([observe({name!r}, "
            f"{function!r}), [m in sys.modules for m in ('requests', 'pandas')], "
            f"import_again({name!r}, {function!r})]))"
        )
        for name, (function, _) in MODULES.items()
    }


@pytest.mark.parametrize("name", MODULES)
def test_module_imported_first_and_again(name, imported_alone):
    function, bound = MODULES[name]
    report, loaded, again = imported_alone[name]
    assert report[:2] == [
        sorted(["__builtins__", "__test__", function] + bound),
        sorted(["__builtins__", function] + bound),
    ]
    assert report[2:-1] == [None, {}, name, name, name.rpartition(".")[0], True, True, function, name, True]
    # The guard needs neither requests nor pandas; the data modules need both.
    assert loaded == [name != GUARD] * 2
    assert again == [True] * 6  # the same module and function objects


# An import with one import blocked (raising finder, None in sys.modules, module lacking a name).
FAIL_THEN_RETRY = r"""
import sys, traceback, types
{preload}
blocked, raised, saved = {blocked!r}, [], sys.modules.pop({blocked!r}, None)
def find_spec(fullname, *_):
    if fullname == blocked:
        raised.append(ModuleNotFoundError("no module " + fullname, name=fullname))
        raise raised[-1]
blocker = types.SimpleNamespace(find_spec=find_spec)
sys.meta_path.insert(0, blocker) if {how!r} == "finder" else sys.modules.update(
    {{blocked: None if {how!r} == "none" else types.ModuleType(blocked)}})
try:
    import {name}
except ImportError as error:
    failure = [type(error).__name__, str(error), raised in ([], [error]), {name!r} in sys.modules,
               [[e.name, e.filename, e.lineno] for e in traceback.extract_tb(error.__traceback__)
                if e.filename.startswith("quorvex")]]
sys.meta_path.remove(blocker) if blocker in sys.meta_path else sys.modules.pop(blocked)
sys.modules.update({{blocked: saved}} if saved else {{}})
import {name}
print(json.dumps({{"failure": failure, "after": observe({name!r}, {function!r})}}))
"""
# module, how the import is blocked, blocked module, preload, line of the failing statement
FAILURES = [
    (*row, statement_line(row[0], row[2]))
    for row in [
        ("quorvex.process_stock.foreign", "finder", "requests", ""),
        ("quorvex.process_stock.foreign", "none", "requests", ""),
        ("quorvex.process_stock.matchBook", "finder", "pandas", ""),
        ("quorvex.process_stock.dividend", "finder", "numpy", "import pandas"),  # pandas loads numpy
        ("quorvex.process_stock.pricebars", "none", "datetime", "import pandas, requests"),
        ("quorvex.process_stock.dealerDesk", "fake", LOGIN, ""),
        (GUARD, "fake", LOGIN, ""),
        ("quorvex.process_stock.foreign", "fake", "quorvex.config.config", ""),
    ]
]


@pytest.mark.parametrize(
    "name, how, blocked, preload, line", FAILURES, ids=[f"{f[0].rpartition('.')[2]}-{f[2]}-{f[1]}" for f in FAILURES]
)
def test_failed_import_then_retry(name, how, blocked, preload, line, imported_alone):
    result = run_python(OBSERVE + FAIL_THEN_RETRY.format(function=MODULES[name][0], **locals()))
    error = {
        "finder": ["ModuleNotFoundError", f"no module {blocked}"],
        "none": ["ModuleNotFoundError", f"import of {blocked} halted; None in sys.modules"],
        "fake": ["ImportError", f"cannot import name {NEEDED.get(blocked)}"],
    }[how]
    assert result["failure"] == error + [True, False, [[f"init {name}", name.replace(".", "\\\\") + ".py", line]]]
    assert result["after"] == imported_alone[name][0]


def test_module_first_loaded_by_a_subinterpreter_is_refused_to_the_main_one():
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    # The guard needs only functools and the login client, so a subinterpreter can load it.
    source = f"""
import json, sys
sys.path.insert(0, {TESTS_DIR!r})
from subinterp import import_in_subinterpreter
first = import_in_subinterpreter({GUARD!r}, {PACKAGE_ROOT!r})
try:
    import {GUARD}
except ImportError as error:
    first = [first, str(error)]
print(json.dumps(first))
"""
    refusal = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    assert run_python(source) == [None, refusal]


# module, removed global, line of the step that reads it
STEP_READING = {"requests": "get", "Client": "client", "base_url": "url", "wraps": "wraps"}
LOOKUPS = [
    (name, missing, (guard_lines() if name == GUARD else STEP_LINES[name])[STEP_READING[missing]])
    for name, missing in [
        ("foreign", "requests"),
        ("pricebars", "Client"),
        ("matchBook", "requests"),
        ("dealerDesk", "requests"),
        ("dividend", "requests"),
        (GUARD, "wraps"),
        ("pricebars", "requests"),
        ("pricebars", "base_url"),
    ]
]


@pytest.mark.parametrize("name, missing, line", LOOKUPS, ids=[f"{c[0]}-{c[1]}" for c in LOOKUPS])
def test_removed_module_global(name, missing, line, monkeypatch, httpserver):
    name = name if name == GUARD else "quorvex.process_stock." + name
    module, function = importlib.import_module(name), MODULES[name][0]
    fn = getattr(module, function)
    args = (print,) if name == GUARD else ("FPT", "2024-01-01", "2024-01-31", "D", 1)[: fn.__code__.co_argcount]
    httpserver.expect_request(re.compile("^/api/stock/")).respond_with_json([])
    fn(*args)  # fills any lookup cache before the name goes
    monkeypatch.delattr(module, missing)
    with pytest.raises(NameError) as caught:
        fn(*args)
    assert caught.value.args == (f"name '{missing}' is not defined",)
    entry = (f"{name}.{function}", name.replace(".", "\\\\") + ".py", line)
    entries = [(e.name, e.filename, e.lineno) for e in traceback.extract_tb(caught.tb)]
    assert [e for e in entries if e[1].startswith("quorvex")] == [entry] == entries[-1:]
    monkeypatch.undo()
    fn(*args)


def test_failed_exec_by_hand_leaves_no_module_behind():
    source = """
import importlib.util, json, sys
spec = importlib.util.find_spec("quorvex.process_stock.foreign")
module, sys.modules["pandas"] = importlib.util.module_from_spec(spec), None
try:
    spec.loader.exec_module(module)
except ImportError:
    pass
left = "quorvex.process_stock.foreign" in sys.modules
del sys.modules["pandas"]
import quorvex.process_stock.foreign as again
print(json.dumps([left, hasattr(again, "get_foreign")]))
"""
    assert run_python(source) == [False, True]
