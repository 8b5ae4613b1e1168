"""Every option is checked before any request, and a refusal says in the command line's
own words which subcommand refuses what: the server of these tests records every
request, and must see none."""

import sys

import pytest

from quorvex import cli

RANGE = ["--from", "2024-01-01", "--to", "2024-03-31"]


@pytest.fixture
def no_request(httpserver, monkeypatch):
    """Credentials in the environment and a service that must not be asked anything."""
    monkeypatch.setenv("QUORVEX_USERNAME", "demo")
    monkeypatch.setenv("QUORVEX_PASSWORD", "demo")
    yield httpserver
    assert list(httpserver.log) == []


@pytest.mark.timeout(30)
@pytest.mark.parametrize(
    "args, line",
    [
        (["dividend", "FPT", *RANGE, "--period", "W"], "quorvex dividend: --period does not apply to dividend"),
        (["pricebars", "FPT", *RANGE, "--unit", "1e9"], "quorvex pricebars: --unit does not apply to pricebars"),
        (["matchBook", "FPT", *RANGE, "--unit=10"], "quorvex matchBook: --unit does not apply to matchBook"),
        (["chart", "FPT", "VNM", *RANGE], "quorvex chart: takes one ticker"),
        (["chart", "FPT", *RANGE, "--workers", "2"], "quorvex chart: --workers does not apply to chart"),
        (["pricebars", "FPT", *RANGE, "--bogus"], "quorvex pricebars: unrecognized arguments: --bogus"),
        (["pricebars", "FPT", *RANGE, "--format", "parquet"], "quorvex pricebars: --format parquet needs -o FILE"),
    ],
)
def test_usage_refusals_name_the_subcommand(no_request, capsys, args, line):
    with pytest.raises(SystemExit) as exit:
        cli.main(args)
    err = capsys.readouterr().err
    assert exit.value.code == 2
    assert err.startswith(f"usage: quorvex {args[0]} ") and err.splitlines()[-1] == line, err


@pytest.mark.timeout(30)
@pytest.mark.parametrize(
    "args, words",
    [
        (["chart", "FPT", *RANGE, "-o", "out"], "-o out: no suffix is not an image type"),
        (["chart", "FPT", *RANGE, "--period", "2Q"], None),
    ],
)
def test_failures_before_any_request(no_request, capsys, args, words):
    if "-o" in args:
        pytest.importorskip("matplotlib")
    if words is None:  # a renamed rule: its new name on pandas 3, accepted (with a warning) before
        import pandas as pd

        if int(pd.__version__.split(".")[0]) < 3:
            pytest.skip("pandas before 3 still takes the old month, quarter and year rules")
        words = "--period '2Q' is not a rule of pandas"
    assert cli.main(args) == 1
    err = capsys.readouterr().err
    assert err.startswith("quorvex: error: ") and words in err and err.count("\n") == 1, err
    if "2Q" in args:
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
