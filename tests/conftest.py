"""Shared fixtures: the scripted HTTP server, login state, the sample service.

The package reads its service address once, when ``quorvex.config.config`` is
first imported, and the data modules copy it at their own import. So, before
any test module can import quorvex, this file picks a free loopback port and
points both pytest-httpserver's session server and QUORVEX_BASE_URL at it:
every call the package makes by default reaches the ``httpserver`` fixture,
whose answers a test scripts with ``httpserver.expect_request(...)``.
"""

import importlib.util
import logging
import os
import pathlib
import socket
import sys

import pytest


def _free_port():
    """Return a loopback port that is free now (the OS may reuse it later)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


if "quorvex.config.config" in sys.modules:
    raise RuntimeError(
        "quorvex.config.config was imported before tests/conftest.py could set "
        "QUORVEX_BASE_URL; the package would talk to the wrong address"
    )

_PORT = _free_port()
os.environ["PYTEST_HTTPSERVER_HOST"] = "127.0.0.1"
os.environ["PYTEST_HTTPSERVER_PORT"] = str(_PORT)
os.environ["QUORVEX_BASE_URL"] = f"http://127.0.0.1:{_PORT}"

# werkzeug, under pytest-httpserver, logs each request at INFO level; pytest
# would keep every record (noise in reports, and memory growth that the leak
# check would see).
logging.getLogger("werkzeug").setLevel(logging.WARNING)

# After the environment is set: helpers imports nothing of quorvex, but keep
# every project import below this line.
from helpers import LeakCheck  # noqa: E402


def _load_sample_service():
    """Import the sample service package from the repository root.

    It is not part of the installed distribution, and the root is not put on
    sys.path: that would shadow an installed quorvex with the source tree.
    """
    try:
        import sample_service
    except ImportError:
        root = pathlib.Path(__file__).resolve().parent.parent / "sample_service"
        spec = importlib.util.spec_from_file_location(
            "sample_service", root / "__init__.py", submodule_search_locations=[str(root)]
        )
        sample_service = importlib.util.module_from_spec(spec)
        sys.modules["sample_service"] = sample_service
        spec.loader.exec_module(sample_service)
    return sample_service


@pytest.fixture(autouse=True)
def _fresh_httpserver(httpserver):
    """Start every test with the scripted server running and empty, and leave it empty.

    Requesting ``httpserver`` here keeps the server up for every test, so a
    call that a test forgot to script gets pytest-httpserver's "no handler"
    answer (status 500) instead of depending on which test ran first. Errors
    raised inside a test's handler functions are re-raised at teardown.
    """
    yield
    try:
        httpserver.check_handler_errors()
    finally:
        httpserver.clear()


@pytest.fixture(autouse=True)
def _no_login_state_between_tests():
    """Reset the class-wide login token after each test that loaded the client."""
    yield
    login = sys.modules.get("quorvex.process_client.login")
    if login is not None:
        login.Client.token = None


@pytest.fixture
def logged_in():
    """Hold the token "test-token" for the test; the token is None afterwards."""
    from quorvex.process_client.login import Client

    Client.token = "test-token"
    yield "test-token"
    Client.token = None


@pytest.fixture
def logged_out():
    """Make sure no token is held during the test."""
    from quorvex.process_client.login import Client

    Client.token = None
    yield
    Client.token = None


@pytest.fixture(scope="session")
def sample_service_module():
    """The ``sample_service`` package."""
    return _load_sample_service()


@pytest.fixture(scope="session")
def sample_service(sample_service_module):
    """Run the sample service on a free port for the session; yield its base URL."""
    server = sample_service_module.make_server(port=0)
    server.start()
    yield server.base_url
    server.stop()


@pytest.fixture
def assert_no_leaks(httpserver):
    """``assert_no_leaks(fn, *args, expect=None, **kwargs)``, see tests/helpers.py.

    Empties the scripted server's request log before each measurement, since
    the log keeps every request and answer it served.
    """
    return LeakCheck(reset=httpserver.clear_log)
