"""Every option is checked before any request, and a refusal says in the command line's
own words which subcommand refuses what: the server of these tests records every
request, and must see none."""

import sys

import pytest

from quorvex import cli

RANGE = ["--from", "2024-01-01", "--to", "2024-03-31"]


@pytest.fixture
def no_request(httpserver, monkeypatch, tmp_path):
    """Credentials in the environment, a history store that must not be made, and a
    service that must not be asked anything."""
    monkeypatch.setenv("QUORVEX_USERNAME", "demo")
    monkeypatch.setenv("QUORVEX_PASSWORD", "demo")
    monkeypatch.setenv("QUORVEX_STORE", str(tmp_path / "history.sqlite3"))
    yield httpserver
    assert list(httpserver.log) == [] and not (tmp_path / "history.sqlite3").exists()


P = ["pricebars", "FPT", *RANGE]


@pytest.mark.timeout(30)
@pytest.mark.parametrize(
    "args, line",
    [
        ([], "quorvex: error: the following arguments are required: COMMAND"),
        (["pricebars", "FPT"], "quorvex pricebars: the following arguments are required: --from"),
        (["pricebars", "--from", "2024-01-01"], "quorvex pricebars: the following arguments are required: TICKER"),
        (["dividend", "FPT", *RANGE, "--period", "W"], "quorvex dividend: --period does not apply to dividend"),
        ([*P, "--unit", "1e9"], "quorvex pricebars: --unit does not apply to pricebars"),
        (["matchBook", "FPT", *RANGE, "--unit=10"], "quorvex matchBook: --unit does not apply to matchBook"),
        (["foreign", "FPT", *RANGE, "--unit", "0"], "quorvex foreign: argument --unit: must be a positive number: '0'"),
        (["chart", "FPT", "VNM", *RANGE], "quorvex chart: takes one ticker"),
        (["chart", "FPT", *RANGE, "--workers", "2"], "quorvex chart: --workers does not apply to chart"),
        (
            ["chart", "FPT", *RANGE, "--size", "big"],
            "quorvex chart: argument --size: expected WIDTHxHEIGHT in pixels: 'big'",
        ),
        (
            ["chart", "FPT", *RANGE, "--size", "10x800"],
            "quorvex chart: argument --size: expected 16 to 10000 pixels: '10'",
        ),
        (
            ["chart", "FPT", *RANGE, "--width", "15"],
            "quorvex chart: argument --width: expected 16 to 10000 pixels: '15'",
        ),
        (
            ["chart", "FPT", *RANGE, "--height", "10001"],
            "quorvex chart: argument --height: expected 16 to 10000 pixels: '10001'",
        ),
        ([*P, "--bogus"], "quorvex pricebars: unrecognized arguments: --bogus"),
        ([*P, "--format", "parquet"], "quorvex pricebars: --format parquet needs -o FILE"),
        ([*P, "--format", "xml"], "quorvex pricebars: argument --format: invalid choice: 'xml'"),
        ([*P, "--timeout", "0"], "quorvex pricebars: argument --timeout: must be a positive number: '0'"),
        ([*P, "--timeout", "inf"], "quorvex pricebars: argument --timeout: must be a positive number: 'inf'"),
        ([*P, "--timeout", "nan"], "quorvex pricebars: argument --timeout: must be a positive number: 'nan'"),
        ([*P, "--timeout", "soon"], "quorvex pricebars: argument --timeout: not a number: 'soon'"),
        ([*P, "--deadline", "-1"], "quorvex pricebars: argument --deadline: must be a positive number: '-1'"),
        ([*P, "--retries", "-1"], "quorvex pricebars: argument --retries: must be at least 0: '-1'"),
        ([*P, "--retries", "1.5"], "quorvex pricebars: argument --retries: not a whole number: '1.5'"),
        ([*P, "--workers", "0"], "quorvex pricebars: argument --workers: must be at least 1: '0'"),
        ([*P, "--rate", "0"], "quorvex pricebars: argument --rate: must be a positive number: '0'"),
        (
            [*P, "--no-store", "--refresh"],
            "quorvex pricebars: --refresh and --no-store exclude each other: a refresh keeps what the service says",
        ),
        (
            ["chart", "FPT", *RANGE, "--refresh", "--no-store"],
            "quorvex chart: --refresh and --no-store exclude each other: a refresh keeps what the service says",
        ),
        (["store"], "quorvex store: the following arguments are required: ACTION"),
        (["store", "info", "FPT"], "quorvex store info: unrecognized arguments: FPT"),
        (
            ["store", "clear", "FPT", "--from", "2024-01-01"],
            "quorvex store clear: --from does not apply to store clear",
        ),
        (["store", "clear", "--no-store"], "quorvex store clear: --no-store does not apply to store clear"),
        (["store", "drop"], "quorvex store: argument ACTION: invalid choice: 'drop'"),
    ],
)
def test_usage_refusals_name_the_subcommand(no_request, capsys, args, line):
    """A refusal in another subcommand's words, a check dropped or a bound moved (0, inf,
    nan, a fraction), or a store made or a request sent before the refusal."""
    with pytest.raises(SystemExit) as exit:
        cli.main(args)
    err = capsys.readouterr().err
    assert exit.value.code == 2
    usage = line.split(": ", 1)[0]
    # How argparse lists the choices after an invalid one differs between versions.
    assert err.startswith(f"usage: {usage} ") and err.splitlines()[-1].startswith(line), err


@pytest.mark.timeout(30)
def test_the_chart_refuses_a_renamed_rule_before_any_request(no_request, capsys):
    """Catches the chart's period checked only by pandas, after the requests and in
    pandas' words (the data commands' rules: test_cli_contract)."""
    import pandas as pd

    if int(pd.__version__.split(".")[0]) < 3:
        pytest.skip("pandas before 3 still takes the old month, quarter and year rules")
    assert cli.main(["chart", "FPT", *RANGE, "--period", "2Q"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("quorvex: error: --period '2Q' is not a rule of pandas") and err.count("\n") == 1, err
    assert "write '2QE'" in err and "Invalid frequency" not in err


@pytest.mark.timeout(30)
def test_progress_without_tqdm_in_the_command_line_s_words(no_request, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)  # import tqdm raises ImportError
    assert cli.main(["pricebars", "FPT", "VNM", *RANGE, "--progress"]) == 1
    err = capsys.readouterr().err
    assert err == "quorvex: error: --progress draws its bar with tqdm, which is not installed: " + (
        "pip install 'quorvex[progress]'\n"
    )


@pytest.mark.timeout(30)
def test_an_address_without_scheme_is_refused_not_blamed_on_the_password(no_request, capsys, monkeypatch):
    from quorvex.config import config

    monkeypatch.setattr(config, "base_url", "127.0.0.1:8765")
    assert cli.main(["pricebars", "FPT", *RANGE]) == 1
    err = capsys.readouterr().err
    assert err == (
        "quorvex: error: QUORVEX_BASE_URL: the service address '127.0.0.1:8765' does not start with "
        "http:// or https:// (for example 'http://127.0.0.1:8765')\n"
    )
