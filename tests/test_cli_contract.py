"""The command line called in this process as ``quorvex.cli.main(argv)``, against servers
on 127.0.0.1: its output and exit status, its defaults, the errors of its arguments, and
what it leaves behind for the program that called it (login state, settings)."""

import datetime
import json
import sys
import warnings

import pytest

import quorvex
from hostile_servers import Answer, HostileServer, silent
from quorvex import remote
from quorvex.cli import main
from quorvex.process_client import login
from quorvex.process_client.login import Client
from test_cli_edges import command as cli

pytestmark = pytest.mark.timeout(30)

PASSWORD = "pw-contract-Ünï-93"
TOKEN = "tok-cli-contract-5d0e"
ROWS = [
    {"DateTime": "2024-01-02", "Open": 10.0, "High": 11.0, "Low": 9.5, "Close": 10.5, "Volume": 1000},
    {"DateTime": "2024-01-03", "Open": 10.5, "High": 12.0, "Low": 10.0, "Close": 11.5, "Volume": None},
]
RANGE = ["--from", "2024-01-01", "--to", "2024-01-31"]
CSV = ["DateTime,Open,High,Low,Close,Volume", "2024-01-02,10.0,11.0,9.5,10.5,1000.0", "2024-01-03,10.5,12.0,10.0,11.5,"]
JSON = [
    "[",
    '{"DateTime": "2024-01-02", "Open": 10.0, "High": 11.0, "Low": 9.5, "Close": 10.5, "Volume": 1000.0},',
    '{"DateTime": "2024-01-03", "Open": 10.5, "High": 12.0, "Low": 10.0, "Close": 11.5, "Volume": null}',
    "]",
]
TABLE = [
    "            Open  High   Low  Close  Volume",
    "DateTime" + " " * 35,
    "2024-01-02  10.0  11.0   9.5   10.5  1000.0",
    "2024-01-03  10.5  12.0  10.0   11.5     NaN",
]


def respond(request, attempt):
    if request.path == "/api/auth/login":
        sent = json.loads(request.body)
        if sent["password"] != PASSWORD:
            return Answer(status=401, body=json.dumps({"error": f"bad password {sent['password']}"}).encode())
        return Answer(body=json.dumps({"token": TOKEN}).encode())
    if request.headers.get("authorization") != f"Bearer {TOKEN}" and "authorization" in request.headers:
        if request.headers["authorization"] != "Bearer mine":
            return Answer(status=401, body=b'{"error": "bad token"}')
    ticker = request.target.split("ticker=")[1].split("&")[0]
    if ticker.startswith("BAD"):
        return Answer(status=404, body=json.dumps({"error": f"no such ticker {ticker}"}).encode())
    if ticker.startswith("EMPTY"):
        return Answer(body=b"[]")
    return Answer(body=json.dumps(ROWS).encode())


@pytest.fixture
def server(cli_at, monkeypatch):
    """The service on 127.0.0.1, the login variables set, the data modules pointed at it."""
    with HostileServer(respond) as running:
        cli_at(running.url)
        monkeypatch.setenv("QUORVEX_USERNAME", "analyst")
        monkeypatch.setenv("QUORVEX_PASSWORD", PASSWORD)
        yield running


def data_requests(server):
    return [r for r in server.received if r.path != "/api/auth/login"]


# --- a command that succeeds, and what it leaves behind ---


def test_a_command_prints_csv_and_leaves_the_callers_state_as_it_was(server, capsys):
    quorvex.configure(timeout=99)  # a program's settings: the default's again afterwards
    status, out, err = cli(capsys, "pricebars", "FPT", *RANGE)
    assert (status, err) == (0, "")
    assert out.splitlines() == CSV
    logins = [r for r in server.received if r.path == "/api/auth/login"]
    assert len(logins) == 1 and json.loads(logins[0].body) == {"username": "analyst", "password": PASSWORD}
    [data] = data_requests(server)
    assert data.headers["authorization"] == f"Bearer {TOKEN}"
    assert "fromDate=2024-01-01" in data.target and "toDate=2024-01-31" in data.target
    # The program that called main() finds its own state again.
    assert Client.token is None and login.LOGIN_TIMEOUT == 30
    assert remote.configured() is None and Client.transport is None


def test_a_program_logged_in_already_keeps_its_token(server, capsys, monkeypatch):
    monkeypatch.delenv("QUORVEX_USERNAME")
    monkeypatch.delenv("QUORVEX_PASSWORD")
    Client.token = "mine"
    status, out, err = cli(capsys, "pricebars", "FPT", *RANGE)
    assert status == 0 and err == ""
    assert [r.path for r in server.received] == ["/api/stock/pricebars"]
    assert server.received[0].headers["authorization"] == "Bearer mine" and Client.token == "mine"


def test_the_login_variables_win_over_a_programs_token_which_comes_back(server, capsys):
    Client.token = "mine"
    assert cli(capsys, "pricebars", "FPT", *RANGE)[0] == 0
    assert data_requests(server)[0].headers["authorization"] == f"Bearer {TOKEN}"
    assert Client.token == "mine"


@pytest.mark.parametrize(
    "where, options, lines",
    [
        ("stdout", ["--format", "json"], JSON),
        ("stdout", ["--format", "table"], TABLE),
        ("terminal", [], TABLE),
        ("terminal", ["--format", "csv"], CSV),
        ("t.json", [], JSON),
        ("t.JSON", [], JSON),
        ("t.txt", [], TABLE),
        ("t.csv", [], CSV),
        ("t.dat", [], CSV),
        ("t", [], CSV),
        ("t.csv", ["--format", "json"], JSON),  # a format asked for beats the suffix
        ("t.json", ["--format", "table"], TABLE),
    ],
)
def test_output_formats_by_option_suffix_and_terminal(server, capsys, monkeypatch, tmp_path, where, options, lines):
    """Catches a format rendered wrong, the suffix of -o read case by case or over
    --format, and a terminal given CSV (or a pipe a table) unless asked for."""
    output = [] if where in ("stdout", "terminal") else ["-o", str(tmp_path / where)]
    if where == "terminal":
        monkeypatch.setattr(sys.stdout, "isatty", lambda: True)
    status, out, err = cli(capsys, "pricebars", "FPT", *RANGE, *output, *options)
    written = (tmp_path / where).read_text() if output else out
    assert (status, err, out if output else "") == (0, "", "") and written.splitlines() == lines


def test_an_empty_answer_gives_an_empty_table_and_to_defaults_to_today(server, capsys):
    """Catches an empty answer told as a failure (or rendered as more than ``[]``), and
    a range without --to that does not end today."""
    assert cli(capsys, "pricebars", "EMPTY", "--from", "2024-01-01", "--format", "json") == (0, "[]\n", "")
    assert f"toDate={datetime.date.today().isoformat()}" in data_requests(server)[0].target


def test_retries_pause_as_documented(capsys, cli_at):
    # The second retry waits 2 * 0.5 s; the default deadline leaves room for it.
    def busy(request, attempt):
        if request.path == "/api/auth/login":
            return Answer(body=json.dumps({"token": TOKEN}).encode())
        return Answer(status=503, body=b'{"error": "busy"}')

    with HostileServer(busy) as server:
        cli_at(server.url)
        status, out, err = cli(capsys, "pricebars", "FPT", *RANGE, "--retries", "2", "--timeout", "2")
    assert status == 1
    assert err == "quorvex: error: FPT: the service refused the request with HTTP status 503: busy\n"
    times = [r.at for r in server.received if r.path != "/api/auth/login"]
    assert len(times) == 3 and times[1] - times[0] < 0.4 and 0.9 <= times[2] - times[1] < 1.6


def test_one_failing_ticker_is_told_alone(server, capsys):
    status, out, err = cli(capsys, "pricebars", "BAD1", *RANGE)
    assert (status, out) == (1, "")
    assert err == "quorvex: error: BAD1: the service refused the request with HTTP status 404: no such ticker BAD1\n"


# --- failures before and around the service ---


@pytest.mark.parametrize(
    "unset, missing",
    [
        (["QUORVEX_USERNAME", "QUORVEX_PASSWORD"], "QUORVEX_USERNAME and QUORVEX_PASSWORD"),
        (["QUORVEX_PASSWORD"], "QUORVEX_PASSWORD"),
        (["QUORVEX_USERNAME"], "QUORVEX_USERNAME"),
    ],
)
def test_a_missing_login_is_one_line(server, capsys, monkeypatch, unset, missing):
    for name in unset:
        monkeypatch.delenv(name)
    status, out, err = cli(capsys, "pricebars", "FPT", *RANGE)
    assert (status, out) == (1, "")
    assert err == f"quorvex: error: not logged in: set {missing} to your login of the service\n"
    assert server.received == []


def test_an_unknown_data_set_is_one_line(capsys):
    status = main(["prices", "FPT"])
    assert status == 1
    err = capsys.readouterr().err
    assert err.startswith(
        "quorvex: error: unknown data set 'prices' (choose from pricebars, foreign, dealerDesk, matchBook, "
        "dividend, chart"
    )
    assert err.endswith(")\n") and err.count("\n") == 1


@pytest.mark.parametrize(
    "options, limit",
    [
        (["--timeout", "0.5"], "within the time limit of 0.5 s (--timeout sets it)"),
        (
            ["--timeout", "5", "--deadline", "0.6"],
            "within the time limit of 0.6 s of the call, retries included (--deadline sets it)",
        ),
    ],
)
def test_a_silent_service_ends_in_one_line_naming_the_limit(capsys, cli_at, options, limit):
    with silent() as server:
        cli_at(server.url.replace("//", "//user:hidden@"))
        status, out, err = cli(capsys, "pricebars", "FPT", *RANGE, *options)
        masked = server.url.replace("//", "//user:***@")
    assert (status, out) == (1, "")
    assert err == f"quorvex: error: no answer from {masked} {limit}\n"


def test_a_closed_port_is_one_line_with_the_reason(capsys, cli_at, closed_port):
    cli_at(closed_port)
    status, out, err = cli(capsys, "pricebars", "FPT", *RANGE)
    assert status == 1
    assert err == f"quorvex: error: cannot connect to the service at {closed_port}: [Errno 111] Connection refused\n"


def test_a_file_that_cannot_be_written_is_one_line(server, capsys, tmp_path):
    path = tmp_path / "missing" / "t.csv"
    status, out, err = cli(capsys, "pricebars", "FPT", *RANGE, "-o", str(path))
    assert status == 1 and err == f"quorvex: error: cannot write {path}: No such file or directory\n"


def test_ctrl_c_in_a_program_returns_130_and_gives_its_state_back(capsys, cli_at):
    import signal
    import threading

    Client.token = "mine"
    main_thread = threading.main_thread().ident
    # Python's own handler, as in a program started from a terminal: a suite started in
    # the background of a shell inherits SIGINT ignored.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with silent() as server:
            cli_at(server.url)
            timer = threading.Timer(0.5, signal.pthread_kill, (main_thread, signal.SIGINT))
            timer.start()
            status, out, err = cli(capsys, "pricebars", "FPT", *RANGE, "--timeout", "10")
            timer.join()
        assert (status, out, err) == (130, "", "quorvex: interrupted\n")
        assert Client.token == "mine" and remote.configured() is None
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    finally:
        signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize(
    "period, newer",
    [("M", "ME"), ("2Q", "2QE"), ("y", "YE"), ("A", "YE"), ("BM", "BME"), ("BQ", "BQE"), ("BY", "BYE"), ("BA", "BYE")],
)
def test_a_renamed_rule_is_refused_naming_its_new_name_or_accepted(server, capsys, period, newer):
    import pandas as pd
    from pandas.tseries.frequencies import to_offset

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            to_offset(period)
        accepted = True
    except ValueError:
        accepted = False
    with warnings.catch_warnings():
        # As a user runs it: pandas' notice of a renamed rule is a warning, not an error.
        warnings.simplefilter("default")
        status, out, err = cli(capsys, "pricebars", "FPT", *RANGE, "--period", period)
    if accepted:  # an older pandas still knows it
        assert status == 0
    else:
        assert (status, out) == (1, "") and server.received == []
        assert err == (
            f"quorvex: error: --period {period!r} is not a rule of pandas {pd.__version__}: write {newer!r} "
            "(pandas 2.2 renamed the month, quarter and year ends)\n"
        )
