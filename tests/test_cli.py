"""The ``quorvex`` command against the sample service and against servers that fail: output
read back equals the library's tables (the command called in this process), errors are one
line and wrong usage exits 2 (the command run as a subprocess)."""

import io
import json
import os
import subprocess
import sys
import tempfile
import time

import pandas as pd
import pytest

import quorvex
from helpers import PACKAGE_ROOT
from hostile_servers import Answer, HostileServer
from quorvex import cli
from quorvex.process_client.login import Client

DATES = ["Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"]
FUNCTIONS = {
    "pricebars": "get_pricebars",
    "foreign": "get_foreign",
    "dealerDesk": "get_dealerDesk",
    "matchBook": "get_match_book",
    "dividend": "get_dividend",
}
LOGIN = {"QUORVEX_USERNAME": "demo", "QUORVEX_PASSWORD": "demo"}
RANGE = ["--from", "2024-01-01", "--to", "2024-03-31"]


def run(base_url, *args, env=None, preamble=None, timeout=60):
    """Run ``python -m quorvex *args`` outside the source tree; ``env`` entries of None
    are removed. ``preamble`` runs first in the child (to block an import)."""
    child_env = {key: value for key, value in os.environ.items() if not key.startswith("QUORVEX_")}
    child_env.update(PYTHONPATH=PACKAGE_ROOT, QUORVEX_BASE_URL=base_url, **LOGIN)
    for key, value in (env or {}).items():
        if value is None:
            child_env.pop(key, None)
        else:
            child_env[key] = value
    command = [sys.executable, "-m", "quorvex", *args]
    if preamble:
        command = [
            sys.executable,
            "-c",
            f"import sys\n{preamble}\nfrom quorvex.cli import main\nsys.exit(main({list(args)!r}))",
        ]
    return subprocess.run(command, env=child_env, capture_output=True, timeout=timeout, cwd=tempfile.gettempdir())


@pytest.fixture(name="here")  # named: test_cli_faults takes it under another name
def here(cli_at, capsysbinary, monkeypatch):
    """``here(url, *args, env=None)``: the command run in this process, told as run() tells it."""

    def call(url, *args, env=None):
        for key, value in (env or {}).items():
            monkeypatch.setenv(key, value)
        cli_at(url)
        return subprocess.CompletedProcess(args, cli.main(list(args)), *capsysbinary.readouterr())

    return call


def one_line_error(done, *fragments):
    """The command failed with exit 1 and one line on stderr holding every fragment."""
    err = done.stderr.decode()
    assert done.returncode == 1, err
    assert "Traceback" not in err and err.count("\n") == 1 and err.startswith("quorvex: error: "), err
    for fragment in fragments:
        assert fragment in err, err
    return err


@pytest.fixture
def library(sample_service, cli_at):
    """``library(dataset, *args)``: the library's own table, fetched in this process from
    the sample service."""
    cli_at(sample_service)
    Client().login("demo", "demo")
    return lambda dataset, *args: getattr(quorvex, FUNCTIONS[dataset])(*args)


def read_csv(data, dataset):
    if dataset == "dividend":
        return pd.read_csv(io.BytesIO(data), parse_dates=DATES)
    return pd.read_csv(io.BytesIO(data), index_col="DateTime", parse_dates=True)


def read_json(data, dataset):
    table = pd.DataFrame(json.loads(data))
    for name in DATES if dataset == "dividend" else ["DateTime"]:
        table[name] = pd.to_datetime(table[name])
    return table if dataset == "dividend" else table.set_index("DateTime")


def same(read, expected):
    # Text files keep no index frequency.
    pd.testing.assert_frame_equal(read, expected, check_freq=False)


ONE_TICKER = [
    ("pricebars", ["--period", "W"], ["W"]),
    ("pricebars", [], ["D"]),
    ("foreign", ["--period", "W", "--unit", "1e9"], ["W", 1e9]),
    ("dealerDesk", ["--unit", "1000"], ["D", 1000]),
    ("matchBook", ["--period", "W"], ["W"]),
    ("dividend", [], []),
]


@pytest.mark.parametrize("fmt, reader", [("csv", read_csv), ("json", read_json)])
@pytest.mark.parametrize("dataset, options, args", ONE_TICKER)
def test_one_ticker_gives_the_functions_table(sample_service, library, dataset, options, args, fmt, reader, here):
    start = "2020-01-01" if dataset == "dividend" else "2024-01-01"
    done = here(sample_service, dataset, "FPT", "--from", start, "--to", "2024-03-31", *options, "--format", fmt)
    assert done.returncode == 0 and done.stderr == b"", done.stderr
    same(reader(done.stdout, dataset), library(dataset, "FPT", start, "2024-03-31", *args))


@pytest.mark.parametrize(
    "dataset, options, keywords",
    [
        ("pricebars", ["--period", "W"], {"period": "W"}),
        ("foreign", [], {"unit": 1}),
        ("dividend", [], {}),
    ],
)
def test_several_tickers_give_the_download_table(sample_service, library, dataset, options, keywords, here):
    expected = quorvex.download(dataset, ["FPT", "VNM", "HPG"], "2023-01-01", "2024-03-31", **keywords)
    tickers, dates = ["FPT", "VNM", "HPG"], ["--from", "2023-01-01", "--to", "2024-03-31"]
    done = here(sample_service, dataset, *tickers, *dates, *options, "--workers", "3")
    assert done.returncode == 0, done.stderr  # piped: CSV
    same(read_csv(done.stdout, dataset), expected)


def test_parquet(sample_service, library, tmp_path):
    path = tmp_path / "bars.parquet"
    done = run(sample_service, "pricebars", "FPT", *RANGE, "-o", str(path), preamble="sys.modules['pyarrow'] = None")
    one_line_error(done, "pyarrow")
    assert not path.exists()
    pytest.importorskip("pyarrow")
    assert run(sample_service, "pricebars", "FPT", *RANGE, "-o", str(path)).returncode == 0
    same(pd.read_parquet(path), library("pricebars", "FPT", "2024-01-01", "2024-03-31", "D"))


def test_chart_without_matplotlib_says_so_before_fetching(tmp_path):
    # The address leads nowhere: the missing matplotlib must be found first.
    chart = ["chart", "FPT", "--from", "2024-01-01", "-o", str(tmp_path / "x.png")]
    done = run("http://127.0.0.1:9", *chart, preamble="sys.modules['matplotlib'] = None")
    one_line_error(done, "pip install 'quorvex[chart]'")
    assert not (tmp_path / "x.png").exists()


@pytest.mark.parametrize(
    "args, fragments",
    [
        (["pricebars", "FPT", "--from", "2024-13-01"], ["--from", "2024-13-01", "YYYY-MM-DD"]),
        (["pricebars", "FPT", "--from", "2024-03-01", "--to", "2024-02-01"], ["after"]),
        (["dividend", "FPT", "--from", "1/1/2024"], ["--from"]),
        (["pricebars", "FPT", *RANGE, "--period", "fortnightly"], ["--period", "fortnightly"]),
    ],
    ids="bad-date reversed us-date bad-period".split(),
)
def test_expected_failures_are_one_line(sample_service, args, fragments):
    one_line_error(run(sample_service, *args), *fragments)


# The process's exit status; every refusal's wording is in test_cli_refusals.
@pytest.mark.parametrize("args", [[], ["pricebars", "FPT"]])
def test_wrong_usage_exits_2_with_the_usage_line(args, closed_port):
    done = run(closed_port, *args)
    assert done.returncode == 2 and done.stderr.decode().startswith("usage: quorvex"), done.stderr


def test_a_failing_ticker_among_good_ones(sample_service, library, here):
    """Catches the others' table lost or mixed up when some tickers fail, and a failure
    left unnamed or told out of the order asked (one worker, so that order is known)."""
    done = here(sample_service, "pricebars", "FPT", "NOPE", "VNM", "BAD", *RANGE, "--period", "W", "--workers", "1")
    refused = "the service refused the request with HTTP status 404: unknown ticker:"
    assert done.returncode == 1
    assert done.stderr.decode() == f"quorvex: error: 2 of 4 tickers failed: NOPE: {refused} NOPE; BAD: {refused} BAD\n"
    table = read_csv(done.stdout, "pricebars")
    assert list(dict.fromkeys(table["ticker"])) == ["FPT", "VNM"]
    same(table[table["ticker"] == "VNM"], library("pricebars", "VNM", "2024-01-01", "2024-03-31", "W"))


def login_answered(request, attempt):
    """A token for the login; every other request is read and never answered."""
    return Answer(body=b'{"token": "t"}') if request.path == "/api/auth/login" else Answer(silent=True)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("tickers", [["FPT"], ["FPT", "VNM"]])
@pytest.mark.parametrize("responder", [login_answered, Answer(silent=True)], ids=["data", "login"])
def test_a_silent_server_ends_within_the_time_limit(responder, tickers):
    with HostileServer(responder) as server:
        started = time.monotonic()
        done = run(server.url, "pricebars", *tickers, *RANGE, "--timeout", "1", "--retries", "2", timeout=30)
    assert time.monotonic() - started < 15
    one_line_error(done, "within the time limit of 1 s")


def test_console_script_and_a_light_start():
    script = os.path.join(os.path.dirname(sys.executable), "quorvex")
    done = subprocess.run([script, "--version"], capture_output=True, timeout=60)
    assert done.returncode == 0 and done.stdout.decode().strip() == f"quorvex {quorvex.__version__}"
    # --help imports neither pandas nor matplotlib.
    probe = (
        "import sys, contextlib, io\nfrom quorvex.cli import main\n"
        "with contextlib.redirect_stdout(io.StringIO()):\n"
        "    try: main(['chart', '--help'])\n    except SystemExit: pass\n"
        "print(sorted({'pandas', 'matplotlib'} & set(sys.modules)))"
    )
    done = subprocess.run(
        [sys.executable, "-c", probe],
        capture_output=True,
        timeout=60,
        text=True,
        env={**os.environ, "PYTHONPATH": PACKAGE_ROOT},
        cwd=tempfile.gettempdir(),
    )
    assert done.stdout.strip() == "[]", done.stderr
