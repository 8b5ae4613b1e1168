"""A thread that is inside a compiled function while the interpreter finalises ends as a
thread inside pure Python code does: the process exits with its own status, not SIGABRT.

Before 3.14 CPython ends such a thread with pthread_exit, which unwinds the thread's stack
like a C++ exception; an unwind that meets a `noexcept` function calls std::terminate.
Each case runs in its own interpreter: the main thread starts a daemon thread, waits until
that thread is inside the call, and exits. While the interpreter finalises, an object of
the main module sends the waiting thread its answer (or drops its connection, or lets its
sleep run out) and then sleeps, giving the thread the chance to want the interpreter back.
"""

import os
import pathlib
import re
import subprocess
import sys
import tempfile

import pytest

from helpers import PACKAGE_ROOT

pytestmark = pytest.mark.timeout(120)

SOURCES = [
    *pathlib.Path(__file__).resolve().parent.parent.joinpath("frame").glob("*.[ch]*"),
    *pathlib.Path(__file__).resolve().parent.parent.joinpath("pipeline").glob("*.[ch]*"),
    *pathlib.Path(__file__).resolve().parent.parent.joinpath("quorvex").rglob("*.cpp"),
]

# The child's start: a listening socket that stands for the service, and the hook that
# runs while the interpreter finalises. The hook lives in a module of its own: CPython
# frees the modules after it has begun to end other threads, and, unlike the main
# module's globals, that module's are referenced by no function a thread is running.
PRELUDE = """
import os, socket, sys, threading, time, types
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(8)
os.environ["QUORVEX_BASE_URL"] = "http://127.0.0.1:%d" % server.getsockname()[1]

class AtFinalisation:
    def __init__(self, action):
        self.action, self.sleep = action, time.sleep
    def __del__(self):
        self.action()
        self.sleep(1.0)  # releases the interpreter: the other thread may now want it back

def at_finalisation(action):
    holder = types.ModuleType("finalisation_hook")
    holder.keep = AtFinalisation(action)
    sys.modules[holder.__name__] = holder

def in_thread(call):
    threading.Thread(target=call, daemon=True).start()
"""

ROWS = (
    b'[{"DateTime": "2024-01-02", "Open": 1, "High": 1, "Low": 1, "Close": 1, "Volume": 1,'
    b' "buyForeignVolume": 1, "sellForeignVolume": 1, "buyForeignValue": 1,'
    b' "sellForeignValue": 1, "netForeignValue": 1, "dealerDeskNetValue": 1,'
    b' "buyCount": 1, "buyVolume": 1, "sellCount": 1, "sellVolume": 1}]'
)

CALLS = {
    "get_pricebars": ("pricebars", '"FPT", "2024-01-01", "2024-01-31", "W"'),
    "get_foreign": ("foreign", '"FPT", "2024-01-01", "2024-01-31", "W", 1000'),
    "get_dealerDesk": ("dealerDesk", '"FPT", "2024-01-01", "2024-01-31", "W", 1000'),
    "get_match_book": ("matchBook", '"FPT", "2024-01-01", "2024-01-31", "W"'),
    "get_dividend": ("dividend", '"FPT", "2024-01-01", "2024-01-31"'),
}


def run_child(source):
    """Runs PRELUDE + source in a fresh interpreter; returns (exit status, stderr)."""
    done = subprocess.run(
        [sys.executable, "-c", PRELUDE + source],
        env={**os.environ, "PYTHONPATH": PACKAGE_ROOT},
        capture_output=True,
        text=True,
        timeout=90,
        cwd=tempfile.gettempdir(),
    )
    return done.returncode, done.stderr


def assert_clean_exit(source):
    status, stderr = run_child(source)
    assert "terminate called" not in stderr, stderr
    assert status == 0, f"exit status {status}\n{stderr}"


@pytest.mark.parametrize("function", CALLS)
def test_data_call_waiting_on_the_network(function):
    """Two threads inside the same data function, each waiting for its answer: one gets
    the answer late, the other sees its connection closed without one."""
    module, arguments = CALLS[function]
    assert_clean_exit(f"""
from quorvex.process_stock.{module} import {function}
for _ in range(2):
    in_thread(lambda: {function}({arguments}))
late, _ = server.accept()
dropped, _ = server.accept()
late.recv(65536)
dropped.recv(65536)
answer = b"HTTP/1.1 200 OK\\r\\nContent-Type: application/json\\r\\nContent-Length: %d\\r\\n\\r\\n"
def finish():
    late.sendall(answer % len({ROWS!r}) + {ROWS!r})
    dropped.close()
at_finalisation(finish)
""")


@pytest.mark.parametrize("busy", ["requests", "pd"])
def test_data_call_whose_callee_runs_python(busy):
    """The thread is running Python code called from the data function (its `requests`
    or its pandas, rebound to loop) when the interpreter finalises. The rebound object's
    last reference is the function's own: ending the thread must not release it, since
    the thread no longer holds the interpreter."""
    status, stderr = run_child(f"""
from quorvex.process_stock import pricebars
started = threading.Event()
class Busy:
    def __del__(self, write=os.write):
        write(2, b"released by the ended thread\\n")
    @staticmethod
    def spin(*args, **kwargs):
        pricebars.{busy} = None
        started.set()
        while True:
            sum(range(100))
    get = DataFrame = spin
class Response:
    status_code = 200
    json = lambda self: []
if "{busy}" == "pd":
    pricebars.requests = type("requests", (), {{"get": staticmethod(lambda **kw: Response())}})
pricebars.Client = type("Client", (), {{"_get_headers": lambda self: {{}}}})
pricebars.{busy} = Busy()
in_thread(lambda: pricebars.get_pricebars("FPT", "a", "b", "W"))
started.wait()
at_finalisation(lambda: None)
""")
    assert "terminate called" not in stderr and "released" not in stderr, stderr
    assert status == 0, f"exit status {status}\n{stderr}"


def test_guarded_call_that_blocks():
    """The guard's wrapper is on the stack while the wrapped function sleeps."""
    assert_clean_exit("""
from quorvex.config.require_session import require_session
from quorvex.process_client.login import Client
Client.token = "token"
started = threading.Event()
@require_session
def blocking():
    started.set()
    time.sleep(0.5)
in_thread(blocking)
started.wait()
at_finalisation(lambda: None)
""")


def test_function_object_slot_running_python():
    """A wrapper's dealloc frees its __dict__, whose value runs Python code that sleeps."""
    assert_clean_exit("""
from quorvex.config.require_session import require_session
started = threading.Event()
class Sleeper:
    def __del__(self):
        started.set()
        time.sleep(0.5)
def drop():
    wrapper = require_session(lambda: None)
    wrapper.extra = Sleeper()
    del wrapper
in_thread(drop)
started.wait()
at_finalisation(lambda: None)
""")


def test_no_noexcept_and_no_throwing_destructor():
    """CPython's unwind of an ending thread may pass through any of these functions: none
    may be `noexcept`, and every destructor must be `noexcept(false)` (a destructor is
    implicitly noexcept, and Py_DECREF in one can run Python code)."""
    assert len(SOURCES) >= 12
    for path in SOURCES:
        text = re.sub(r"//[^\n]*", "", path.read_text())
        assert not re.search(r"\bnoexcept\b(?!\(false\))", text), f"{path.name} declares noexcept"
        for destructor in re.finditer(r"~\w+\(\)[^{;]*", text):
            assert "noexcept(false)" in destructor.group(), f"{path.name}: {destructor.group()}"
        # Nothing that allocates (and so may throw) on a path CPython calls.
        assert not re.search(r"\bstd::(string|vector|map|unique_ptr|make_)(?!_view)", text), path.name
