"""Shared fixtures: the scripted HTTP server, login state, the sample service.

quorvex reads its service address at its first import, so before that this file points
both QUORVEX_BASE_URL and pytest-httpserver's server at one free loopback port."""

import importlib.util
import logging
import os
import pathlib
import random
import socket
import sys

import pytest

if "quorvex.config.config" in sys.modules:
    raise RuntimeError("quorvex was imported before tests/conftest.py set QUORVEX_BASE_URL")


def _free_port():
    """A loopback port that is free now and that the kernel will not hand out by itself.

    The scripted server binds it only later, so a port from the ephemeral range could be
    taken in between by any connection of another suite running at the same time; a
    random port below that range is taken only by an explicit bind."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as ports:
            first_ephemeral = int(ports.read().split()[0])
    except (OSError, ValueError, IndexError):
        first_ephemeral = 0
    candidates = random.sample(range(10000, first_ephemeral), 50) if first_ephemeral > 10050 else []
    for port in [*candidates, 0]:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                continue
            return probe.getsockname()[1]
    raise RuntimeError("no free loopback port")


_PORT = _free_port()
os.environ["PYTEST_HTTPSERVER_HOST"] = "127.0.0.1"
os.environ["PYTEST_HTTPSERVER_PORT"] = str(_PORT)
os.environ["QUORVEX_BASE_URL"] = f"http://127.0.0.1:{_PORT}"

# pytest would keep werkzeug's record of every request: memory growth the leak check sees.
logging.getLogger("werkzeug").setLevel(logging.WARNING)

from helpers import LeakCheck  # noqa: E402  (after the environment is set)

# Files that test the pure-Python layer only: they run once per interpreter in the main
# run and are left out of the runs that check another build of the same compiled code.
PYTHON_LAYER_FILES = (
    "test_cli",
    "test_remote",
    "test_network",
    "test_login",
    "test_chart",
    "test_registry",
    "test_readme",
    "test_store",
    "test_rate",
    "test_transport",
)


def pytest_collection_modifyitems(config, items):
    for item in items:
        if item.path.name.startswith(PYTHON_LAYER_FILES):
            item.add_marker(pytest.mark.python_layer)


@pytest.fixture(autouse=True)
def _fresh_httpserver(httpserver):
    """Keep the scripted server up and empty for every test (an unscripted call gets 500)."""
    yield
    try:
        httpserver.check_handler_errors()
    finally:
        httpserver.clear()


@pytest.fixture(autouse=True)
def _no_real_cache_folder(tmp_path_factory, monkeypatch):
    """No test, nor a command it runs (children get the environment without the
    QUORVEX_ variables), writes into the user's cache folder: the history store that
    ``store=True`` and the command line use lies under a cache folder of the test's own."""
    monkeypatch.delenv("QUORVEX_STORE", raising=False)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path_factory.mktemp("cache")))


@pytest.fixture(autouse=True)
def _no_login_state_between_tests():
    """Every test ends logged out, with no token known as a user's (both are held
    class-wide: a later test's store would otherwise file its rows under that user)."""
    yield
    login = sys.modules.get("quorvex.process_client.login")
    if login is not None:
        login.Client.token = None
        login.Client._users.clear()


@pytest.fixture(scope="session", autouse=True)
def _data_modules_imported_at_the_test_address():
    """Every data module is imported before the first test. A module binds the service
    address at its first import: one imported first inside a test (``configure`` imports
    them all) would keep that test's address, a server closed since, for every later
    test, and which test that is would depend on the order of the files."""
    from quorvex.datasets import DATASETS

    for dataset in DATASETS.values():
        importlib.import_module(dataset.module)


_MISSING = object()


@pytest.fixture(autouse=True)
def _module_globals_restored():
    """Every quorvex module's globals are as they were before the test, whatever the test
    rebound or deleted (the command line, for one, points every data module at the address
    it was given); without this a test leaves its address or its fault to the files that
    run after it. Submodules bound during the test stay: a package keeps them as
    attributes, which ``import a.b`` does not bind again. A module a test imports afresh
    is left as it is; the one it replaced gets its globals back."""
    before = [
        (module, dict(module.__dict__))
        for name, module in list(sys.modules.items())
        if (name == "quorvex" or name.startswith("quorvex.")) and module is not None
    ]
    yield
    for module, saved in before:
        namespace = module.__dict__
        for key in [key for key in namespace if key not in saved]:
            if not isinstance(namespace[key], type(sys)):
                del namespace[key]
        for key, value in saved.items():
            if namespace.get(key, _MISSING) is not value:
                namespace[key] = value


@pytest.fixture(autouse=True)
def _settings_back_to_the_defaults(_module_globals_restored):
    """Every test ends with the default settings: the session, store or rate a test
    configured would otherwise serve every test after it. It ends before the globals are
    put back (it asks for their fixture), so the settings it closes, the store's
    connections among them, are the test's own."""
    yield
    sys.modules["quorvex"].configure()


@pytest.fixture
def closed_port():
    """The address of a loopback port that refuses connections: bound, never listening,
    and held until the test ends, so no other server (of this run, or of another suite
    beside it) can take the port in between."""
    with socket.socket() as held:
        held.bind(("127.0.0.1", 0))
        yield f"http://127.0.0.1:{held.getsockname()[1]}"


@pytest.fixture
def logged_in():
    from quorvex.process_client.login import Client

    Client.token = "test-token"
    return Client.token


@pytest.fixture
def serve(monkeypatch):
    """serve(responder or server, credentials="") starts a scripted server of
    tests/hostile_servers.py and points the price bars at it (with ``credentials`` as the
    address's user information); the servers close afterwards."""
    import quorvex.process_stock.pricebars as module
    from hostile_servers import HostileServer

    started = []

    def start(responder, credentials=""):
        server = responder if isinstance(responder, HostileServer) else HostileServer(responder)
        server.__enter__()
        started.append(server)
        monkeypatch.setattr(module, "base_url", server.url.replace("//", f"//{credentials}"))
        return server

    yield start
    for server in started:
        server.close()


@pytest.fixture
def cli_at(monkeypatch):
    """``cli_at(url)`` points every data module and the login at ``url``, logged in from
    the environment (demo/demo); the addresses are put back afterwards."""
    import quorvex
    from quorvex.config import config
    from quorvex.datasets import DATASETS

    monkeypatch.setenv("QUORVEX_USERNAME", "demo")
    monkeypatch.setenv("QUORVEX_PASSWORD", "demo")
    for dataset in DATASETS.values():
        monkeypatch.setattr(importlib.import_module(dataset.module), "base_url", config.base_url)
    monkeypatch.setattr(config, "base_url", config.base_url)
    return quorvex.set_base_url


@pytest.fixture(scope="session")
def sample_service_module():
    """The sample service package, from the repository root (it is not installed)."""
    try:
        import sample_service
    except ImportError:
        root = pathlib.Path(__file__).resolve().parent.parent / "sample_service"
        spec = importlib.util.spec_from_file_location(
            "sample_service", root / "__init__.py", submodule_search_locations=[str(root)]
        )
        sample_service = sys.modules["sample_service"] = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(sample_service)
    return sample_service


@pytest.fixture(scope="session")
def sample_service(sample_service_module):
    """Base URL of the sample service, running in this process for the session."""
    with sample_service_module.make_server(port=0) as server:
        yield server.base_url


@pytest.fixture
def assert_no_leaks(httpserver):
    """``assert_no_leaks(fn, *args, expect=None, **kwargs)``; empties the server's request log."""
    return LeakCheck(reset=httpserver.clear_log)
