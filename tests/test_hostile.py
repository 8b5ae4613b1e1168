"""Callers that free what they lent, very deep wrapper chains, failed imports in other
interpreters and a second runtime in one process: no crash, no lock-out, no stale module.
Each case runs in its own interpreter, where a crash shows as a failed child."""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile

import pytest

from helpers import PACKAGE_ROOT, TESTS_DIR, run_python

pytestmark = pytest.mark.timeout(300)  # the deep chain is slow under the sanitizers

GUARD = "quorvex.config.require_session"


def test_deep_wrapper_chain_is_freed():
    assert (
        run_python(f"""
from {GUARD} import require_session
w = lambda: None
for _ in range(400_000):
    w = require_session(w)
    del w.__wrapped__  # the closure alone holds the next link
del w
print("true")
""")
        is True
    )


# A partial lends the function its own argument tuple (and its callable); replacing its
# state mid-call frees them while the function still runs.
LENDERS = {
    "data function": """
from quorvex.process_stock import matchBook
from helpers import stub_globals
ticker = "".join(["FPT"] * 3)
globals_ = stub_globals()
real_get = globals_["requests"].get
def get(**kw):
    sent.append(kw["params"]["ticker"].encode())
    p.__setstate__((matchBook.get_match_book, (), {{}}, None))
    return real_get(**kw)
globals_["requests"] = type("requests", (), {{"get": staticmethod(get)}})
vars(matchBook).update(globals_)
inserted = []
table_type = type(globals_["pd"].DataFrame([]))
table_type.insert = lambda self, at, name, value: inserted.append(value)
resample = table_type.resample
def resample_reusing(self, rule):  # reuses blocks freed since the request
    junk.extend("".join(["XYZ"] * 3) for _ in range(1000))
    return resample(self, rule)
table_type.resample = resample_reusing
sent, junk = [], []
p = functools.partial(matchBook.get_match_book, ticker, "a", "b", "W")
del ticker
p()
result = [ticker.decode() for ticker in sent] + inserted
""",
    "guard": """
import {guard} as guard
from {guard} import require_session
class Client:
    token = "t"
    def __init__(self):
        p.__setstate__((len, ("xy",), {{}}, None))
guard.Client = Client
p = functools.partial(require_session(lambda *args: ["ran", *args]), "".join(["a", "b"]))
result = p()
""",
}


@pytest.mark.parametrize("lender, expected", [("data function", ["FPTFPTFPT"] * 2), ("guard", ["ran", "ab"])])
def test_arguments_freed_by_the_caller_mid_call(lender, expected):
    body = LENDERS[lender].format(guard=GUARD)
    assert (
        run_python(f"import functools, json, sys\nsys.path.insert(0, {TESTS_DIR!r})\n{body}\nprint(json.dumps(result))")
        == expected
    )


@pytest.mark.parametrize(
    "name, setup, isolated",
    [
        # A legacy subinterpreter gets as far as executing the guard, which then fails.
        (GUARD, "sys.modules['quorvex.process_client.login'] = None", False),
        # An interpreter with its own GIL (3.12 on) fails to import the price bars.
        ("quorvex.process_stock.pricebars", "", True),
    ],
)
def test_failed_import_elsewhere_leaves_the_module_free(name, setup, isolated):
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    if isolated and sys.version_info < (3, 12):
        pytest.skip("no interpreters with a GIL of their own before 3.12")
    report = run_python(f"""
import json, sys
sys.path.insert(0, {TESTS_DIR!r})
from subinterp import import_in_subinterpreter
failed = import_in_subinterpreter({name!r}, {PACKAGE_ROOT!r}, {isolated!r}, {setup!r})
import {name} as module
print(json.dumps([failed is not None, module.__name__]))
""")
    assert report == [True, name]


EMBED = r"""
#include <Python.h>
#include <stdio.h>
int main(void)
{
    for (int run = 0; run < 2; ++run) {
        Py_Initialize();
        if (PyRun_SimpleString(
                "from quorvex.config.require_session import require_session\n"
                "from quorvex.process_client.login import Client\n"
                "Client.token = 't'\n"
                "print(require_session(len)('abc'), flush=True)\n") != 0) {
            return 1;
        }
        if (Py_FinalizeEx() < 0) {
            return 2;
        }
    }
    return 0;
}
"""


def test_second_runtime_in_one_process_imports_afresh(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    libdir, ldversion = sysconfig.get_config_var("LIBDIR"), sysconfig.get_config_var("LDVERSION")
    if not compiler or not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("needs a C compiler and a shared libpython")
    source, program = tmp_path / "embed.c", tmp_path / "embed"
    source.write_text(EMBED)
    include = sysconfig.get_paths()["include"]
    flags = [f"-I{include}", f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-lpython{ldversion}"]
    subprocess.run([compiler, str(source), "-o", str(program), *flags], check=True, timeout=120)
    site = sysconfig.get_paths()["purelib"]
    env = dict(os.environ, PYTHONHOME=sys.base_prefix, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, site]))
    done = subprocess.run(
        [str(program)], env=env, capture_output=True, text=True, timeout=120, cwd=tempfile.gettempdir()
    )
    assert (done.returncode, done.stdout.split()) == (0, ["3", "3"]), done.stderr


# A recursion through one of the bodies' calls of outside objects. Which check sees the
# depth run out depends on where in a cycle of the recursion the count ends, so it is
# entered at several depths: under extra Python frames and under hops through a C
# function (from 3.12 only the latter count against the C-level depth the guard checks).
RECURSION = r"""
import json, sys, threading
from quorvex.process_stock import pricebars
from quorvex.config import require_session as guard

def data_call():
    return pricebars.get_pricebars("FPT", "2024-01-01", "2024-01-31", "D")

class Client:
    token = "t"

def wrapped(*args, **kwargs):
    return entry()

if {site!r} == "call":
    guard.Client = Client
    entry = guard.require_session(wrapped)
else:
    pricebars.Client = data_call
    entry = data_call

def start(hops, frames):
    call = entry
    for _ in range(hops):
        call = (lambda inner: lambda: list(map(lambda _: inner(), [0])))(call)
    for _ in range(frames):
        call = (lambda inner: lambda: inner())(call)
    return call

messages = set()
def run():
    for hops in range(4):
        for frames in range(2):
            try:
                start(hops, frames)()
            except RecursionError as error:
                messages.add(str(error))
if sys.version_info >= (3, 12):
    sys.setrecursionlimit(1_000_000)  # the C-level depth runs out first, as in a real deep chain
threading.stack_size(512 << 20)
worker = threading.Thread(target=run)
worker.start()
worker.join()
print(json.dumps(sorted(messages)))
"""


# How RecursionError words the C-level depth running out. From 3.14 that depth is the C
# stack itself, and the message says how much of it was used.
if sys.version_info >= (3, 14):
    DEPTH_EXCEEDED = r"Stack overflow \(used \d+ kB\)"
else:
    DEPTH_EXCEEDED = "maximum recursion depth exceeded"


@pytest.mark.parametrize("site", ["vectorcall", "call"])
def test_running_out_of_depth_at_a_call_raises_the_guard_error(site):
    messages = run_python(RECURSION.format(site=site))
    assert messages and all(re.match(DEPTH_EXCEEDED, message) for message in messages), messages
    assert any(message.endswith(" while calling a Python object") for message in messages), messages


# The same recursion in the main thread with the interpreter's own limits, whichever of
# them runs out first.
DEFAULT_LIMITS = r"""
import json
from quorvex.config import require_session as guard

class Client:
    token = "t"

guard.Client = Client
entry = guard.require_session(lambda: list(map(lambda _: entry(), [0])))
try:
    entry()
except RecursionError:
    print(json.dumps("RecursionError"))
"""


def test_deep_recursion_with_the_default_limits_raises():
    assert run_python(DEFAULT_LIMITS) == "RecursionError"


def test_every_guarded_call_gives_its_depth_back(monkeypatch):
    """Each call from C counts one level of the interpreter's depth and gives it back once
    the callee returns, whether it returned a value or raised: far more calls than the
    depth allows, through a method and through a module's function, leave the depth as
    it was."""
    import types

    import quorvex.process_stock.matchBook as module

    class Stop(Exception):
        pass

    def refuse(**kwargs):
        raise Stop("get")

    class Client:
        def _get_headers(self):
            return {}

    class Refusing(Client):
        def _get_headers(self):
            raise Stop("headers")

    monkeypatch.setattr(module, "requests", types.SimpleNamespace(get=refuse))
    calls = 3 * max(sys.getrecursionlimit(), 10_000)
    for client, step in ((Refusing, "headers"), (Client, "get")):
        monkeypatch.setattr(module, "Client", client)
        for _ in range(calls):
            with pytest.raises(Stop, match=step):
                module.get_match_book("FPT", "2024-01-01", "2024-01-31", "D")
    module_requests = types.ModuleType("requests")
    module_requests.get = refuse
    monkeypatch.setattr(module, "requests", module_requests)
    for _ in range(calls):
        with pytest.raises(Stop, match="get"):
            module.get_match_book("FPT", "2024-01-01", "2024-01-31", "D")
