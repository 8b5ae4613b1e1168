"""Module import: what each module binds, re-import, failed imports, interpreters.

Import happens once per process, so every case runs in a fresh interpreter
(``sys.executable`` with this environment) and reports back as JSON. The last
tests work in this process on module globals rebound at run time.
"""

import builtins
import importlib
import importlib.util
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import traceback

import pytest

import quorvex

DATA_NAMES = ["Client", "base_url", "pd", "requests"]
# module: (public function, names its statements bind)
MODULES = {
    "quorvex.process_stock.foreign": ("get_foreign", DATA_NAMES),
    "quorvex.process_stock.matchBook": ("get_match_book", DATA_NAMES),
    "quorvex.process_stock.dealerDesk": ("get_dealerDesk", DATA_NAMES),
    "quorvex.process_stock.pricebars": ("get_pricebars", DATA_NAMES + ["datetime"]),
    "quorvex.process_stock.dividend": ("get_dividend", DATA_NAMES + ["np"]),
    "quorvex.config.require_session": ("require_session", ["Client", "wraps"]),
}
DATA_MODULES = [name for name in MODULES if ".process_stock." in name]
PACKAGE_ROOT = str(pathlib.Path(quorvex.__file__).resolve().parent.parent)

# What each module reports about itself; run in the child after the imports.
OBSERVE = r'''
import builtins, datetime, functools, json, sys
MACHINERY = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
             "__cached__", "__path__"}
EXPECTED = {
    "Client": lambda: sys.modules["quorvex.process_client.login"].Client,
    "base_url": lambda: sys.modules["quorvex.config.config"].base_url,
    "requests": lambda: sys.modules.get("requests"),
    "pd": lambda: sys.modules.get("pandas"),
    "np": lambda: sys.modules.get("numpy"),
    "datetime": lambda: datetime.datetime,
    "wraps": lambda: functools.wraps,
}

def observe(name, function):
    module = sys.modules[name]
    names = vars(module)
    fn = names[function]
    parent, _, short = name.rpartition(".")
    return {
        "names": sorted(set(names) - MACHINERY),
        "machinery": sorted(set(names) & MACHINERY),
        "doc_is_none": module.__doc__ is None,
        "test": [type(module.__test__).__name__, module.__test__],
        "builtins_module": module.__builtins__ is builtins,
        "bound": {key: names[key] is EXPECTED[key]() for key in EXPECTED if key in names},
        "identity": [module.__name__, module.__spec__.name, module.__package__,
                 module.__file__ == module.__spec__.origin],
        "parent_attribute": getattr(sys.modules[parent], short, None) is module,
        "function": [fn.__name__, fn.__module__, fn.__globals__ is names, type(fn).__name__],
    }
'''


def run_python(source):
    """Run ``source`` in a fresh interpreter; return the JSON of its last output line."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, env.get("PYTHONPATH")]))
    # Run outside the source tree: `-c` puts the working directory first on sys.path,
    # where the sources (without built modules) would shadow the installed package.
    done = subprocess.run([sys.executable, "-c", source], env=env, capture_output=True,
                          text=True, timeout=120, cwd=tempfile.gettempdir())
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def import_script(order):
    calls = "".join(f"import {name}\n" for name in order)
    report = ", ".join(f"{name!r}: observe({name!r}, {MODULES[name][0]!r})" for name in order)
    loaded = '{k: k in sys.modules for k in ("requests", "pandas", "numpy")}'
    return f"{calls}{OBSERVE}\nprint(json.dumps({{'modules': {{{report}}}, 'loaded': {loaded}}}))"


@pytest.fixture(scope="module")
def imported_alone():
    return {name: run_python(import_script([name])) for name in MODULES}


@pytest.mark.parametrize("name", MODULES)
def test_module_imported_first(name, imported_alone):
    function, bound = MODULES[name]
    report = imported_alone[name]["modules"][name]
    assert report["names"] == sorted(["__builtins__", "__test__", function] + bound)
    assert "__path__" not in report["machinery"]
    assert report["doc_is_none"] and report["builtins_module"]
    assert report["test"] == ["dict", {}]
    assert report["bound"] == {key: True for key in bound}
    assert report["identity"] == [name, name, name.rpartition(".")[0], True]
    assert report["parent_attribute"]
    assert report["function"][:3] == [function, name, True]
    data_module = name in DATA_MODULES
    loaded = imported_alone[name]["loaded"]
    # The guard needs neither requests nor pandas; the data modules need both.
    assert (loaded["requests"], loaded["pandas"]) == (data_module, data_module)


@pytest.mark.parametrize("order", [list(MODULES), list(reversed(MODULES))],
                         ids=["in-order", "reversed"])
def test_all_modules_in_one_process(order, imported_alone):
    together = run_python(import_script(order))["modules"]
    assert together == {name: imported_alone[name]["modules"][name] for name in MODULES}
    assert len({report["function"][3] for report in together.values()}) == 1


def test_import_again_gives_the_same_module():
    checks = "\n".join(f"""
first = importlib.import_module({name!r})
fn = first.{function}
names = sorted(vars(first))
del sys.modules[{name!r}]
again = importlib.import_module({name!r})
found = importlib.util.find_spec({name!r})
results[{name!r}] = [again is first, again.{function} is fn, sorted(vars(again)) == names,
                     importlib.reload(again) is first, first.{function} is fn,
                     importlib.util.module_from_spec(found) is first]
""" for name, (function, _) in MODULES.items())
    source = f"import importlib, importlib.util, json, sys\nresults = {{}}\n{checks}\n" \
             "print(json.dumps(results))"
    assert run_python(source) == {name: [True] * 6 for name in MODULES}


# --- a failed import, then a retry -------------------------------------------------------

BLOCK_WITH_FINDER = """
class Blocker:
    def find_spec(self, fullname, path=None, target=None):
        global raised
        if fullname == {blocked!r}:
            raised = ModuleNotFoundError("no module " + fullname, name=fullname)
            raise raised
{preload}
saved = sys.modules.pop({blocked!r}, None)
blocker = Blocker()
sys.meta_path.insert(0, blocker)
def undo():
    sys.meta_path.remove(blocker)
    if saved is not None:
        sys.modules[{blocked!r}] = saved
"""
BLOCK_WITH_NONE = """
{preload}
raised = None
saved = sys.modules.get({blocked!r})
sys.modules[{blocked!r}] = None
def undo():
    del sys.modules[{blocked!r}]
    if saved is not None:
        sys.modules[{blocked!r}] = saved
"""
FAKE_MODULE = """
import types
raised = None
fake = types.ModuleType({blocked!r})
sys.modules[{blocked!r}] = fake
def undo():
    del sys.modules[{blocked!r}]
"""
RETRY = """
try:
    import {name}
except ImportError as error:
    failure = [type(error).__name__, str(error), error is raised or raised is None,
               [[e.name, e.filename, e.lineno] for e in traceback.extract_tb(error.__traceback__)
                if e.filename.startswith("quorvex")],
               {name!r} in sys.modules]
else:
    failure = None
undo()
import {name}
print(json.dumps({{"failure": failure, "after": observe({name!r}, {function!r})}}))
"""

def _failure_cases():
    login, config = "quorvex.process_client.login", "quorvex.config.config"
    missing_client = ("ImportError", "cannot import name Client")
    preload = "import pandas, requests"
    cases = [
        ("quorvex.process_stock.foreign", BLOCK_WITH_FINDER, "requests", "", 4, None),
        ("quorvex.process_stock.matchBook", BLOCK_WITH_FINDER, "pandas", "", 5, None),
        # pandas brings numpy in; the module's own `import numpy as np` must still fail.
        ("quorvex.process_stock.dividend", BLOCK_WITH_FINDER, "numpy", preload, 6, None),
        ("quorvex.process_stock.pricebars", BLOCK_WITH_NONE, "datetime", preload, 6,
         ("ModuleNotFoundError", "import of datetime halted; None in sys.modules")),
        ("quorvex.process_stock.dealerDesk", FAKE_MODULE, login, "", 2, missing_client),
        ("quorvex.config.require_session", FAKE_MODULE, login, "", 2, missing_client),
        ("quorvex.process_stock.foreign", FAKE_MODULE, config, "", 3,
         ("ImportError", "cannot import name base_url")),
        pytest.param("quorvex.process_stock.foreign", BLOCK_WITH_NONE, "requests", "", 4,
                     ("ModuleNotFoundError", "import of requests halted; None in sys.modules"),
                     id="foreign-requests-None"),
        pytest.param("quorvex.process_stock.pricebars", BLOCK_WITH_NONE, "pandas", "", 5,
                     ("ModuleNotFoundError", "import of pandas halted; None in sys.modules"),
                     id="pricebars-pandas-None"),
    ]
    return [case if hasattr(case, "marks") else
            pytest.param(*case, id=f"{case[0].rpartition('.')[2]}-{case[2]}") for case in cases]


@pytest.mark.parametrize("name, block, blocked, preload, line, error", _failure_cases())
def test_failed_import_reports_the_statement_and_can_be_retried(
        name, block, blocked, preload, line, error, imported_alone):
    function = MODULES[name][0]
    source = "import json, sys, traceback\n" + OBSERVE + \
        block.format(blocked=blocked, preload=preload) + RETRY.format(name=name, function=function)
    result = run_python(source)
    expected_error = list(error) if error else ["ModuleNotFoundError", f"no module {blocked}"]
    path = name.replace(".", "\\\\") + ".py"
    assert result["failure"] == expected_error + [
        True, [[f"init {name}", path, line]], False]
    assert result["after"] == imported_alone[name]["modules"][name]


# --- a second interpreter ----------------------------------------------------------------

SUBINTERPRETER = r'''
import json, os, sys, tempfile

def import_in_subinterpreter(name):
    """Import `name` in a new subinterpreter that shares this process's extension
    modules (the legacy, non-isolated kind); return what the import gave there."""
    fd, out = tempfile.mkstemp()
    os.close(fd)
    source = ("try:\n    import %s\n    result = 'imported'\n"
              "except ImportError as error:\n    result = 'ImportError: %%s' %% error\n"
              "open(%r, 'w').write(result)\n") % (name, out)
    if sys.version_info >= (3, 13):
        import _interpreters
        interp = _interpreters.create("legacy")
        try:
            assert _interpreters.exec(interp, source) is None
        finally:
            _interpreters.destroy(interp)
    else:
        import _xxsubinterpreters as interpreters
        if sys.version_info >= (3, 12):
            interp = interpreters.create(isolated=False)
        else:
            interp = interpreters.create()
        try:
            interpreters.run_string(interp, source)
        finally:
            interpreters.destroy(interp)
    with open(out) as fh:
        result = fh.read()
    os.unlink(out)
    return result
'''
REFUSED = ("ImportError: Interpreter change detected - this module can only be loaded into "
           "one interpreter per process.")


@pytest.fixture
def subinterpreters():
    module = "_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters"
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"this Python has no {module} to make a subinterpreter with")


@pytest.mark.parametrize("name", ["quorvex.process_stock.pricebars",
                                  "quorvex.config.require_session"])
def test_second_interpreter_is_refused(name, subinterpreters):
    function = MODULES[name][0]
    source = SUBINTERPRETER + f"""
import {name} as module
first = import_in_subinterpreter({name!r})
import {name} as again
print(json.dumps([first, again is module, callable(module.{function})]))
"""
    assert run_python(source) == [REFUSED, True, True]


def test_first_interpreter_keeps_the_module(subinterpreters):
    # The guard imports only functools and the login client, so it loads in a
    # subinterpreter; from then on the main interpreter is the second one.
    source = SUBINTERPRETER + """
first = import_in_subinterpreter("quorvex.config.require_session")
try:
    import quorvex.config.require_session
    second = "imported"
except ImportError as error:
    second = "ImportError: %s" % error
print(json.dumps([first, second]))
"""
    assert run_python(source) == ["imported", REFUSED]


# --- module globals rebound at run time ----------------------------------------------------

ARGS = ("FPT", "2024-01-01", "2024-01-31", "D", 1)
# module, function, arguments, removed global, line of the step that reads it
LOOKUPS = [
    ("quorvex.process_stock.foreign", "get_foreign", ARGS, "requests", 16),
    ("quorvex.process_stock.matchBook", "get_match_book", ARGS[:4], "requests", 18),
    ("quorvex.process_stock.dealerDesk", "get_dealerDesk", ARGS, "requests", 18),
    ("quorvex.process_stock.pricebars", "get_pricebars", ARGS[:4], "requests", 18),
    ("quorvex.process_stock.dividend", "get_dividend", ARGS[:3], "requests", 16),
    ("quorvex.process_stock.pricebars", "get_pricebars", ARGS[:4], "Client", 10),
    ("quorvex.process_stock.pricebars", "get_pricebars", ARGS[:4], "base_url", 12),
    ("quorvex.config.require_session", "require_session", (print,), "wraps", 9),
]


MODULE_PATHS = {
    "quorvex.process_stock.foreign": "/api/stock/foreign",
    "quorvex.process_stock.matchBook": "/api/stock/sAndD",
    "quorvex.process_stock.dealerDesk": "/api/stock/dealerDesk",
    "quorvex.process_stock.pricebars": "/api/stock/pricebars",
    "quorvex.process_stock.dividend": "/api/stock/diviend",
}


class InjectedFault(Exception):
    pass


class FailingRequests:
    """Stands in for the requests module: every `get` raises the same exception."""

    def __init__(self):
        self.error = InjectedFault("no network in this test")

    def get(self, **kwargs):
        raise self.error


def package_entries(exc):
    return [(e.name, e.filename, e.lineno) for e in traceback.extract_tb(exc.__traceback__)
            if e.filename.startswith("quorvex\\")]


@pytest.mark.parametrize("name, function, args, missing, line", LOOKUPS,
                         ids=[f"{case[1]}-{case[3]}" for case in LOOKUPS])
def test_removed_module_global(name, function, args, missing, line, monkeypatch, httpserver):
    module = importlib.import_module(name)
    fn = getattr(module, function)
    entry = (f"{name}.{function}", name.replace(".", "\\\\") + ".py", line)
    if name in MODULE_PATHS:
        httpserver.expect_request(MODULE_PATHS[name]).respond_with_json([])
    fn(*args)  # fills any lookup cache before the name goes

    monkeypatch.delattr(module, missing)
    with pytest.raises(NameError) as caught:
        fn(*args)
    assert caught.value.args == (f"name '{missing}' is not defined",)
    assert package_entries(caught.value) == [entry]
    assert traceback.extract_tb(caught.value.__traceback__)[-1].filename.startswith("quorvex")

    monkeypatch.undo()
    fn(*args)
    if missing == "requests":
        # Rebinding takes effect at the next call, and the callee's exception reaches
        # the caller as it was raised.
        failing = FailingRequests()
        monkeypatch.setattr(module, "requests", failing)
        with pytest.raises(InjectedFault) as caught:
            fn(*args)
        assert caught.value is failing.error and caught.value.__context__ is None
        assert package_entries(caught.value) == [entry]
        # A name missing from the module is looked up in builtins.
        monkeypatch.delattr(module, "requests")
        monkeypatch.setattr(builtins, "requests", failing, raising=False)
        with pytest.raises(InjectedFault):
            fn(*args)

