"""What must hold on every supported CPython: the import-time version check, one
interpreter per process, and module globals read afresh at every call (cached or not)."""

import builtins
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

import quorvex
import quorvex.config.require_session as require_session_module
from helpers import PACKAGE_ROOT, TESTS_DIR, run_python
from quorvex.datasets import DATASETS
from quorvex.process_client.login import Client
from source_tables import CXX_STANDARD, SOURCE_ROOT

PACKAGE_DIR = pathlib.Path(quorvex.__file__).resolve().parent
GUARD = "quorvex.config.require_session"
REFUSAL = "Chưa đăng nhập. Vui lòng đăng nhập trước."
DATA_MODULES = [dataset.module for dataset in DATASETS.values()]


# --- built for another Python version ------------------------------------------------------

GUARD_SOURCES = ["quorvex/config/require_session.cpp", "frame/module_frame.cpp", "frame/function_object.cpp"]
PURE_PYTHON = "__init__.py datasets.py service.py config/__init__.py config/config.py process_client/*.py".split()
OTHER_MINOR = sys.version_info.minor - 1


@pytest.fixture(scope="module")
def other_version_root(tmp_path_factory):
    """The package's pure-Python parts and the guard built as if for 3.<minor - 1>."""
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("g++ is not available to build a module for another version")
    include = sysconfig.get_paths()["include"]
    if not os.path.exists(os.path.join(include, "Python.h")):
        pytest.skip(f"no Python.h in {include}")
    sources = [SOURCE_ROOT / name for name in GUARD_SOURCES]
    if not all(source.exists() for source in sources):
        pytest.skip("the C++ sources are not next to the tests")
    root = tmp_path_factory.mktemp("other_version")
    for pattern in PURE_PYTHON:
        for source in PACKAGE_DIR.glob(pattern):
            target = root / "quorvex" / source.relative_to(PACKAGE_DIR)
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(source, target)
    includes = {include, sysconfig.get_paths()["platinclude"]}
    output = root / "quorvex" / "config" / ("require_session" + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [compiler, f"-std={CXX_STANDARD}", "-shared", "-fPIC", "-fvisibility=hidden"]
    command += [*(f"-I{path}" for path in sorted(includes)), f"-DQV_BUILT_FOR_MINOR={OTHER_MINOR}"]
    command += [*(str(source) for source in sources), "-o", str(output)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    return str(root)


# Imports the guard while recording every warning; reports them and the module.
RECORDED_IMPORT = f'''
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import {GUARD} as module
from quorvex.process_client.login import Client
Client.token = "t"
guarded = module.require_session(len)
result = {{
    "warnings": [[w.category.__name__, str(w.message)] for w in caught],
    "file": module.__file__,
    "registered": sys.modules["{GUARD}"] is module,
    "call": guarded("abc"),
}}
'''


def mismatch_message():
    running = sys.version_info
    return (
        f"compile time Python version 3.{OTHER_MINOR} of module '{GUARD}' does not match "
        f"runtime version {running.major}.{running.minor}"
    )


@pytest.mark.timeout(600)
def test_version_warning_as_error_fails_the_import_until_reset(other_version_root):
    body = f'''
import json, sys, traceback, warnings
sys.path.insert(0, {other_version_root!r})
try:
    import {GUARD}
except BaseException as exc:
    failure = {{
        "type": type(exc).__name__,
        "message": str(exc),
        "entries": [[entry.filename, entry.name] for entry in traceback.extract_tb(exc.__traceback__)],
        "registered": "{GUARD}" in sys.modules,
    }}
else:
    failure = None
warnings.resetwarnings()
{RECORDED_IMPORT}
result["failure"] = failure
print(json.dumps(result))
'''
    report = run_python(body, "-W", "error::RuntimeWarning", package_path=False)

    failure = report["failure"]
    assert failure and failure["type"] == "RuntimeWarning", "the import ignored the error"
    assert failure["message"] == mismatch_message()
    assert failure["registered"] is False
    # The check runs before the module has its strings, so it adds no "init" entry.
    assert not [entry for entry in failure["entries"] if entry[1].startswith("init ") or "require_session" in entry[0]]
    # The retry, with the warning filters reset, imports the module and warns once.
    assert report["file"].startswith(other_version_root)
    assert report["warnings"] == [["RuntimeWarning", mismatch_message()]]
    assert report["registered"] is True
    assert report["call"] == 3


def test_matching_build_imports_without_warning():
    names = [GUARD, *DATA_MODULES]
    source = "".join(f"import {name}\n" for name in names)
    source += "import json, sys\nprint(json.dumps([sys.modules[n].__name__ for n in %r]))" % names
    assert run_python(source, "-W", "error") == names


# --- one interpreter per process -------------------------------------------------------------

INTERPRETER_CHANGE = (
    "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
)


@pytest.fixture(scope="module")
def subinterpreters():
    module = "_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters"
    try:
        __import__(module)
    except ImportError:
        pytest.skip(f"this Python has no {module} to make a subinterpreter with")


@pytest.mark.parametrize(
    "name, function", [(GUARD, "require_session"), ("quorvex.process_stock.pricebars", "get_pricebars")]
)
def test_subinterpreter_import_is_refused(name, function, subinterpreters):
    source = f"""
import importlib, json, sys
sys.path.insert(0, {TESTS_DIR!r})
from subinterp import import_in_subinterpreter
import {name} as module
refused = import_in_subinterpreter({name!r}, {PACKAGE_ROOT!r})
again = import_in_subinterpreter({name!r}, {PACKAGE_ROOT!r}, isolated=True)
import {GUARD} as guard
from quorvex.process_client.login import Client
Client.token = "t"
print(json.dumps({{
    "refused": [refused, again],
    "kept": importlib.import_module({name!r}) is module,
    "function": getattr(module, {function!r}).__module__,
    "guard_works": guard.require_session(len)("abcd"),
}}))
"""
    report = run_python(source)

    # From 3.12 the import system itself refuses an interpreter with a GIL of its own.
    isolated = (
        f"ImportError: module {name} does not support loading in subinterpreters"
        if sys.version_info >= (3, 12)
        else INTERPRETER_CHANGE
    )
    assert report["refused"] == [INTERPRETER_CHANGE, isolated]
    # The main interpreter's module is untouched and keeps working.
    assert report["kept"] is True
    assert report["function"] == name
    assert report["guard_works"] == 4


# --- module globals rebound at run time ------------------------------------------------------


def fake_client(token, made):
    class FakeClient:
        def __init__(self):
            made.append(token)

    FakeClient.token = token
    return FakeClient


def outcome(guarded):
    try:
        return guarded(1, key=2)
    except Exception as exc:  # the refusal is a bare Exception
        return (type(exc), str(exc))


def test_rebound_client_is_read_at_the_next_call(monkeypatch):
    guarded = require_session_module.require_session(lambda *args, **kwargs: (args, kwargs))
    allowed = ((1,), {"key": 2})
    refused = (Exception, REFUSAL)
    missing = (NameError, "name 'Client' is not defined")
    made = []
    Client.token = None

    # Each state is called twice: once after the change, once more with it unchanged.
    assert [outcome(guarded) for _ in range(2)] == [refused] * 2
    monkeypatch.setattr(require_session_module, "Client", fake_client("t1", made))
    assert [outcome(guarded) for _ in range(2)] == [allowed] * 2
    monkeypatch.setattr(require_session_module, "Client", fake_client(None, made))
    assert [outcome(guarded) for _ in range(2)] == [refused] * 2
    assert made == ["t1", "t1", None, None]

    Client.token = "t"
    monkeypatch.setattr(require_session_module, "Client", Client)
    assert [outcome(guarded) for _ in range(2)] == [allowed] * 2

    # Without a module global, the builtins are searched at every read.
    monkeypatch.delattr(require_session_module, "Client")
    assert [outcome(guarded) for _ in range(2)] == [missing] * 2
    monkeypatch.setattr(builtins, "Client", fake_client(None, made), raising=False)
    assert [outcome(guarded) for _ in range(2)] == [refused] * 2
    monkeypatch.setattr(builtins, "Client", fake_client("t2", made))
    assert [outcome(guarded) for _ in range(2)] == [allowed] * 2
    assert made[4:] == [None, None, "t2", "t2"]

    # A module global shadows the builtin again as soon as it is bound.
    monkeypatch.setattr(require_session_module, "Client", fake_client(None, made), raising=False)
    assert [outcome(guarded) for _ in range(2)] == [refused] * 2
    monkeypatch.undo()
    assert require_session_module.Client is Client
    Client.token = None
    assert outcome(guarded) == refused
