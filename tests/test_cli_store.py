"""The command line's history store and rate: a repeated command asks the service for
nothing, --no-store and --refresh ask again (and --refresh keeps the new answer),
``store info`` shows and ``store clear`` forgets what is kept, --rate holds a command to
its rate. Commands run through ``cli.main`` against the sample service, which notes
every range it is asked for."""

import json
import re
import time

import pytest

from hostile_servers import Answer, HostileServer, json_rows
from test_cli_edges import command

pytestmark = pytest.mark.timeout(120)

RANGE = ["--from", "2024-01-01", "--to", "2024-03-31"]


@pytest.fixture
def store(tmp_path, monkeypatch):
    """The file the commands keep their history in."""
    path = tmp_path / "history.sqlite3"
    monkeypatch.setenv("QUORVEX_STORE", str(path))
    return path


@pytest.fixture
def service(sample_service_module, cli_at):
    with sample_service_module.make_server(port=0) as server:
        cli_at(server.base_url)
        yield server


def asked(server):
    """The requests answered since the last look, as (endpoint, ticker, from, to)."""
    seen = [(path.rsplit("/", 1)[1], *rest) for path, *rest in server.asked]
    server.asked.clear()
    return seen


@pytest.mark.parametrize(
    "args, requests",
    [
        (["pricebars", "FPT", "VNM", *RANGE, "--period", "W"], [("pricebars", "FPT"), ("pricebars", "VNM")]),
        (["dividend", "FPT", "--from", "2020-01-01", "--to", "2024-03-31"], [("diviend", "FPT")]),
    ],
    ids=["pricebars", "dividend"],
)
def test_a_repeated_command_asks_for_nothing_unless_told_to(service, store, tmp_path, capsys, args, requests):
    args = [*args, "--format", "csv"]
    span = (args[args.index("--from") + 1], args[args.index("--to") + 1])
    whole = [(endpoint, ticker, *span) for endpoint, ticker in requests]
    first = command(capsys, *args)
    assert first[0] == 0 and first[2] == "", first[2]
    assert sorted(asked(service)) == whole and store.exists()
    # The same table again, from the store alone.
    assert command(capsys, *args) == first
    assert asked(service) == []
    # --refresh and --no-store ask for the whole range again, and give the same table.
    assert command(capsys, *args, "--refresh") == first
    assert sorted(asked(service)) == whole
    elsewhere = tmp_path / "elsewhere.sqlite3"
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("QUORVEX_STORE", str(elsewhere))
        assert command(capsys, *args, "--no-store") == first
    assert sorted(asked(service)) == whole and not elsewhere.exists()
    # QUORVEX_STORE=0: no store at all, and nothing written to the cache folder either.
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("QUORVEX_STORE", "0")
        patch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
        assert command(capsys, *args) == first
        assert command(capsys, "store", "info") == (0, "no history store: QUORVEX_STORE is 0\n", "")
        assert command(capsys, "store", "clear") == (0, "no history store: QUORVEX_STORE is 0; nothing to clear\n", "")
    assert sorted(asked(service)) == whole and not (tmp_path / "cache").exists()


def test_refresh_keeps_what_the_service_says_now(cli_at, store, capsys):
    answer = {"close": 10.5}
    rows = [{"DateTime": "2024-01-02", "Open": 10.0, "High": 11.0, "Low": 9.5, "Volume": 1000}]

    def respond(request, attempt):
        if request.path.endswith("/api/auth/login"):
            return Answer(body=json.dumps({"token": "tok-1"}).encode())
        return Answer(body=json_rows([{**rows[0], "Close": answer["close"]}]))

    def close(*extra):
        status, out, err = command(capsys, "pricebars", "FPT", *RANGE, "--format", "json", *extra)
        assert status == 0, err
        return json.loads(out)[0]["Close"]

    with HostileServer(respond) as server:
        cli_at(server.url)
        data = lambda: [r for r in server.received if "/api/stock/" in r.path]  # noqa: E731
        assert close() == 10.5
        answer["close"] = 12.25  # the service corrected the day
        assert close() == 10.5 and len(data()) == 1  # kept: not asked again
        assert close("--refresh") == 12.25 and len(data()) == 2
        assert close() == 12.25 and len(data()) == 2  # the correction replaced what was kept


def test_store_info_and_clear(service, store, capsys):
    # Neither makes a file when there is none yet.
    assert command(capsys, "store", "info") == (0, f"history store {store}: nothing kept yet\n", "")
    cleared = command(capsys, "store", "clear", "FPT")
    assert cleared == (0, f"history store {store}: nothing kept, nothing to clear\n", "") and not store.exists()

    assert command(capsys, "pricebars", "FPT", "VNM", *RANGE, "-o", str(store.with_name("bars.csv")))[0] == 0
    assert command(capsys, "dividend", "FPT", "--from", "2020-01-01", "--to", "2024-03-31", "--format", "csv")[0] == 0
    status, out, err = command(capsys, "store", "info")
    assert status == 0 and err == "", err
    lines = out.splitlines()
    assert re.fullmatch(rf"history store {re.escape(str(store))}, \d+\.\d kB", lines[0]), lines[0]
    assert lines[1:] == [
        f"service {service.base_url}",
        "  user demo",
        "    pricebars: 2 tickers",
        "      FPT  2024-01-01 to 2024-03-31, 65 rows",
        "      VNM  2024-01-01 to 2024-03-31, 65 rows",
        "    dividend: 1 ticker",
        "      FPT  2020-01-01 to 2024-03-31, 11 rows",
    ]
    asked(service)

    # Clearing FPT forgets it in every data set, and only it.
    assert command(capsys, "store", "clear", "FPT", "NOPE") == (
        0,
        f"cleared FPT from the history store {store} (76 rows); nothing was kept of NOPE\n",
        "",
    )
    assert command(capsys, "store", "clear", "FPT", "HPG", "FPT") == (0, "nothing was kept of FPT, HPG\n", "")
    assert command(capsys, "store", "info")[1].splitlines()[1:] == [
        f"service {service.base_url}",
        "  user demo",
        "    pricebars: 1 ticker",
        "      VNM  2024-01-01 to 2024-03-31, 65 rows",
    ]
    assert command(capsys, "pricebars", "FPT", "VNM", *RANGE, "--format", "csv")[0] == 0
    assert asked(service) == [("pricebars", "FPT", "2024-01-01", "2024-03-31")]

    assert command(capsys, "store", "clear") == (0, f"emptied the history store {store} (130 rows)\n", "")
    assert command(capsys, "store", "info")[1].endswith(": nothing kept\n")


@pytest.mark.filterwarnings("default::quorvex.store.StoreWarning")  # as the command shows them
def test_an_unreadable_store_fails_store_commands_in_one_line_and_data_commands_warn(service, store, capsys):
    store.write_bytes(b"not a database, " * 100)
    for action in (["info"], ["clear", "FPT"]):
        status, out, err = command(capsys, "store", *action)
        assert status == 1 and out == "", out
        assert err.startswith(f"quorvex: error: the history store {store} cannot be") and err.count("\n") == 1, err
    # A data command still gives the service's table, with one warning line.
    status, out, err = command(capsys, "pricebars", "FPT", *RANGE, "--format", "csv")
    assert status == 0 and out.count("\n") == 66, err
    assert err.startswith("quorvex: warning: the history store") and err.count("\n") == 1, err
    assert store.read_bytes().startswith(b"not a database")


def test_rate_is_kept_to(service, store, tmp_path, capsys):
    """Five requests (the login and four tickers) at two a second, after a burst of two,
    take at least 1.5 s; without the limit (once the modules are imported) the sample
    service answers them at once."""
    args = ["pricebars", "FPT", "VNM", "HPG", "VCB", *RANGE, "--no-store", "-o", str(tmp_path / "out.csv")]
    assert command(capsys, *args)[0] == 0  # imports everything the timed run needs
    started = time.monotonic()
    status, _, err = command(capsys, *args, "--rate", "2")
    took = time.monotonic() - started
    assert status == 0, err
    assert len(asked(service)) == 2 * 4
    assert took >= (1 + 4 - 2) / 2 - 0.05, took
