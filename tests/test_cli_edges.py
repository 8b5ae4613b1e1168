"""Edges of the command line run in this process as ``quorvex.cli.main(argv)``: the chart
command from its options to the file it writes, the options' values at their limits, the
wording of failures, the output formats' details, and the store commands' reports."""

import re
import struct

import pytest
import requests

import quorvex
from hostile_servers import Answer, HostileServer
from quorvex import cli
from test_cli_faults import service as responder

pytestmark = pytest.mark.timeout(60)

RANGE = ["--from", "2024-01-01", "--to", "2024-03-31"]


@pytest.fixture
def at(cli_at, monkeypatch):
    """``cli_at``, with no history store."""
    monkeypatch.setenv("QUORVEX_STORE", "0")
    return cli_at


@pytest.fixture
def service(sample_service_module, at):
    """The sample service, with the ranges it was asked for in ``.asked``."""
    with sample_service_module.make_server(port=0) as server:
        at(server.base_url)
        yield server


def scripted(data):
    """A scripted server whose login answers a token and whose data requests get ``data``."""
    return HostileServer(responder(data, token="tok-edges-1"))


def command(capsys, *args):
    """(exit status, stdout, stderr) of ``quorvex *args``."""
    status = cli.main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


# --- quorvex chart ------------------------------------------------------------------------------


@pytest.fixture
def matplotlib():
    return pytest.importorskip("matplotlib")


def test_chart_is_written_to_the_tickers_name_in_the_current_folder(service, matplotlib, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    status, out, err = command(capsys, "chart", "FPT", *RANGE, "--period", "W")
    assert (status, out, err) == (0, "", "chart written to FPT.png\n")
    assert png_size(tmp_path / "FPT.png") == (1200, 800)
    # The price bars of the range asked, weekly rows made by the library from daily ones.
    assert [a[1:] for a in service.asked] == [("FPT", "2024-01-01", "2024-03-31")]


@pytest.mark.parametrize(
    "options, size",
    [
        (["--height", "300"], (1200, 300)),
        (["--size", "500x400", "--width", "640"], (640, 400)),
        (["--period", "W", "--with", "foreign", "--with", "matchBook", "--size", "900x1100"], (900, 1100)),
    ],
)
def test_chart_width_and_height_override_the_size(service, matplotlib, capsys, tmp_path, options, size):
    path = tmp_path / "c.png"
    status, _, err = command(capsys, "chart", "FPT", *RANGE, *options, "-o", str(path))
    assert status == 0, err
    assert png_size(path) == size


def test_chart_panels_named_twice_are_fetched_once(service, matplotlib, capsys, tmp_path):
    path = tmp_path / "c.svg"
    status, _, err = command(
        capsys, "chart", "FPT", *RANGE, "--with", "foreign,,foreign", "--with", "foreign", "-o", str(path)
    )
    assert (status, err) == (0, f"chart written to {path}\n")
    assert sorted(a[0].rsplit("/", 1)[1] for a in service.asked) == ["foreign", "pricebars"]
    assert path.read_bytes().lstrip().startswith(b"<?xml")


@pytest.mark.parametrize(
    "answer, told",
    [
        (Answer(body=b"[]"), "no price bars for FPT from 2024-01-01 to 2024-03-31"),
        (
            Answer(status=404, body=b'{"error": "no such ticker"}'),
            "FPT: the service refused the request with HTTP status 404: no such ticker",
        ),
    ],
    ids=["no price bars", "refused"],
)
def test_chart_without_price_bars_is_one_line_and_writes_nothing(at, matplotlib, capsys, tmp_path, answer, told):
    """Catches an empty chart drawn, or a failed fetch told twice or without its ticker."""
    path = tmp_path / "c.png"
    with scripted(answer) as server:
        at(server.url)
        assert command(capsys, "chart", "FPT", *RANGE, "-o", str(path)) == (1, "", f"quorvex: error: {told}\n")
    assert not path.exists()


def test_chart_to_a_folder_that_does_not_exist_is_one_line(service, matplotlib, capsys, tmp_path):
    path = tmp_path / "missing" / "c.png"
    status, out, err = command(capsys, "chart", "FPT", *RANGE, "-o", str(path))
    assert (status, out) == (1, "")
    assert err == f"quorvex: error: cannot write {path}: No such file or directory\n"


@pytest.mark.parametrize("name, shown", [("c.PNGX", "'.pngx'"), ("out", "no suffix")])
def test_chart_refuses_an_unknown_suffix_listing_the_other_types(service, matplotlib, capsys, tmp_path, name, shown):
    """Catches a file of no image type found out only after the fetch (or a name
    without a suffix told as the suffix ''), and an upper-case suffix refused."""
    from matplotlib.backend_bases import FigureCanvasBase

    status, _, err = command(capsys, "chart", "FPT", *RANGE, "-o", name)
    others = sorted(set(FigureCanvasBase.get_supported_filetypes()) - {"png", "svg", "pdf"})
    assert status == 1
    assert err == (
        f"quorvex: error: -o {name}: {shown} is not an image type the chart can write; end the name with "
        f".png, .svg or .pdf (or {', '.join('.' + name for name in others)})\n"
    )
    assert service.asked == []
    # An upper-case suffix of a known type is that type.
    assert command(capsys, "chart", "FPT", *RANGE, "-o", str(tmp_path / "c.PNG"))[0] == 0
    assert png_size(tmp_path / "c.PNG") == (1200, 800)


# --- quorvex store ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "sizes, shown",
    [
        ((999,), "999 bytes"),
        ((600, 400), "1.0 kB"),
        ((2_345_678,), "2.3 MB"),
        ((5_000_000_000_000,), "5000.0 GB"),
    ],
)
def test_the_store_size_is_told_in_the_unit_that_suits_it(tmp_path, sizes, shown):
    from quorvex.cli.store_command import _size

    path = tmp_path / "history.sqlite3"
    for suffix, size in zip(("", "-wal"), sizes):
        with open(f"{path}{suffix}", "wb") as file:
            file.truncate(size)
    assert _size(path) == shown


# --- the wording of failures --------------------------------------------------------------------

LONG_PAGE = "<html>" + "<p>the gateway is down</p>" * 400 + "</html>"


def padded(length):
    """A JSON object of ``length`` characters whose "error" is "short"."""
    return '{"error": "short", "pad": "%s"}' % ("x" * (length - 29))


# The excerpt's read is 4096 characters: an object that long is parsed, a longer one
# shown as text.
LONG_OBJECT = padded(4097)


CREDENTIALS = " (check QUORVEX_USERNAME and QUORVEX_PASSWORD)"
ADDRESS = " (check QUORVEX_BASE_URL: {url} is not the service's root address, or not the service)"
LATER = " (the service could not answer: try again later, or --retries N)"
PLAIN_REASON = "Unsupported method ('POST')"
PLAIN_PAGE = (
    b"<!DOCTYPE HTML>\n<html><head><title>Error response</title></head><body><h1>Error response</h1></body></html>\n"
)
HTML = {"Content-Type": "text/html;charset=utf-8"}


@pytest.mark.parametrize(
    "answer, told, hint",
    [
        (Answer(status=599, reason=""), "HTTP status 599", LATER),
        (Answer(status=503, reason="Busy"), "HTTP status 503 Service Unavailable", LATER),
        (Answer(status=403, reason="Go Away"), "HTTP status 403 Forbidden", CREDENTIALS),
        # The service's own words may quote what was sent: never shown.
        (Answer(status=401, body=b'{"error": "wrong password"}'), "HTTP status 401 Unauthorized", CREDENTIALS),
        # Nothing at that address takes a login: a wrong path, or a plain web server
        # (http.server answers a POST with 501, its reason and a page of HTML).
        (Answer(status=404), "HTTP status 404 Not Found", ADDRESS),
        (Answer(status=405), "HTTP status 405 Method Not Allowed", ADDRESS),
        (Answer(status=501), "HTTP status 501 Not Implemented", ADDRESS),
        (
            Answer(status=501, reason=PLAIN_REASON, body=PLAIN_PAGE, headers=HTML),
            "HTTP status 501 Not Implemented",
            ADDRESS,
        ),
    ],
)
def test_a_refused_login_is_told_by_its_status_and_reason_with_its_likely_cause(at, capsys, answer, told, hint):
    with HostileServer(answer) as server:
        url = server.url
        at(url)
        status, out, err = command(capsys, "pricebars", "FPT", *RANGE)
        assert [r.path for r in server.received] == ["/api/auth/login"]
    assert (status, out) == (1, "")
    assert err == f"quorvex: error: the service refused the login with {told}{hint.format(url=url)}\n"


def test_https_to_a_plain_http_port_names_the_address_not_a_class(at, capsys, sample_service):
    at(sample_service.replace("http://", "https://"))
    status, out, err = command(capsys, "pricebars", "FPT", *RANGE)
    assert (status, out) == (1, "")
    assert err == (
        f"quorvex: error: cannot connect securely to the service at {sample_service.replace('http', 'https', 1)}: "
        "it does not answer HTTPS on that port: check the address (http:// rather than https://?)\n"
    )


def test_an_untrusted_certificate_is_named(at, capsys, sample_service_module, tmp_path):
    import shutil

    if shutil.which("openssl") is None:
        pytest.skip("the sample service makes its certificate with openssl")
    from sample_service.tls import serve_tls

    with sample_service_module.make_server(port=0) as server:
        certificate = serve_tls(server, str(tmp_path))
        at(server.base_url)
        status, out, err = command(capsys, "pricebars", "FPT", *RANGE)
        # Trusted through --ca-bundle: the login and the data both go over TLS.
        trusted = command(capsys, "pricebars", "FPT", *RANGE, "--ca-bundle", certificate, "--format", "csv")
    assert (status, out) == (1, "")
    assert err.startswith(f"quorvex: error: cannot connect securely to the service at {server.base_url}: ")
    assert "its certificate is not trusted (self" in err and "--ca-bundle FILE" in err, err
    assert trusted[0] == 0 and trusted[1].startswith("DateTime,Open,High,Low,Close,Volume\n"), trusted


@pytest.mark.parametrize(
    "error, reason",
    [
        (
            "_WatchedHTTPSPool(host='127.0.0.1', port=9): Max retries exceeded with url: /api/auth/login "
            "(Caused by NewConnectionError('<quorvex.remote._Connection object at 0x7f3a>: "
            "Failed to establish a new connection: [Errno 111] Connection refused'))",
            "[Errno 111] Connection refused",
        ),
        (
            "HTTPConnectionPool(host='127.0.0.1', port=9): Max retries exceeded with url: /x "
            "(Caused by ProtocolError('Connection aborted.', RemoteDisconnected('gone')))",
            "Connection aborted",
        ),
        ("_WatchedHTTPPool(host='h', port=1): something odd (Caused by _Odd('x'))", "the connection failed"),
        ("<quorvex.remote._Connection object at 0x7f3a>: it broke", "it broke"),
    ],
)
def test_connection_errors_are_told_by_kind_without_class_names(error, reason):

    from quorvex.cli import errors

    line = errors.describe(requests.ConnectionError(error))
    assert line.endswith(f": {reason}"), line
    assert "Pool" not in line and "object at" not in line and "_Watched" not in line


def test_the_addresss_password_is_hidden_in_every_spelling_even_in_tracebacks(at, capsys):
    import base64

    secret, spelled = "p%40ss-w0rd", "p@ss-w0rd"
    basic = base64.b64encode(f"an alyst:{spelled}".encode()).decode()
    quoted = f"you sent {secret} {spelled} Basic {basic} and the token tok-edges-1"
    with scripted(Answer(status=500, body=quoted.encode())) as server:
        at(server.url.replace("//", f"//an%20alyst:{secret}@"))
        status, out, err = command(capsys, "pricebars", "FPT", *RANGE, "--debug")
    assert (status, out) == (1, "")
    assert "Traceback" in err and "you sent" in err
    for shown in (secret, spelled, basic, "tok-edges-1"):
        assert shown not in err


def test_only_an_error_no_wording_explains_points_to_debug(capsys):
    import argparse

    from quorvex.cli.errors import TickerFailures, report
    from quorvex.cli.session import Secrets

    def told(error, debug=False):
        report(error, argparse.Namespace(secrets=Secrets(), debug=debug, timeout=5.0, deadline=5.0))
        return capsys.readouterr().err

    assert told(RuntimeError("a fault")) == "quorvex: error: RuntimeError: a fault (--debug shows the traceback)\n"
    assert told(RuntimeError("a fault"), debug=True).endswith("quorvex: error: RuntimeError: a fault\n")
    # A data function's ValueError and KeyError tell of the answer; its other errors are faults.
    assert told(TickerFailures({"FPT": KeyError("Close")}, 1)).endswith(
        "is not the expected table: no column 'Close'\n"
    )
    assert told(TickerFailures({"FPT": TypeError("bad")}, 2)) == (
        "quorvex: error: 1 of 2 tickers failed: FPT: TypeError: bad (--debug shows the traceback)\n"
    )


def test_a_reader_that_leaves_ends_the_command_quietly_with_status_1(service, capsys, monkeypatch):
    import io
    import os
    import sys

    read, write = os.pipe()
    os.close(read)  # ``quorvex ... | head`` once head has exited
    gone = io.TextIOWrapper(open(write, "wb"), encoding="utf-8")
    with capsys.disabled():
        monkeypatch.setattr(sys, "stdout", gone)
        status = cli.main(["pricebars", "FPT", *RANGE, "--format", "csv"])
        monkeypatch.setattr(sys, "stdout", sys.__stdout__)
    gone.close()  # stdout now leads to /dev/null: closing it says nothing
    assert status == 1
    assert capsys.readouterr() == ("", "")


def test_a_ticker_named_twice_is_fetched_and_counted_once(service, capsys):
    status, out, err = command(capsys, "pricebars", "FPT", "FPT", "ZZZ", *RANGE, "--format", "csv")
    assert status == 1
    assert err.startswith("quorvex: error: 1 of 2 tickers failed: ZZZ: ")
    lines = out.splitlines()
    assert lines[0].startswith("DateTime,ticker,") and {line.split(",")[1] for line in lines[1:]} == {"FPT"}
    assert len(lines) == 1 + len(set(lines[1:]))  # no row twice
    assert sorted(a[1] for a in service.asked) == ["FPT", "ZZZ"]


def test_json_output_keeps_vietnamese_as_written(service, capsys):
    status, out, err = command(
        capsys, "dividend", "FPT", "--from", "2020-01-01", "--to", "2024-03-31", "--format", "json"
    )
    assert status == 0, err
    assert '"Ngày GD không hưởng quyền": "' in out and "\\u" not in out


def test_store_reports_two_tickers_cleared_and_days_kept_only_as_recent(service, capsys, tmp_path, monkeypatch):
    import datetime

    monkeypatch.setenv("QUORVEX_STORE", str(tmp_path / "history.sqlite3"))
    today = datetime.date.today()
    recent = ["--from", str(today - datetime.timedelta(days=2)), "--to", str(today)]
    assert command(capsys, "foreign", "FPT", "VNM", *RANGE, "--format", "csv")[0] == 0
    assert command(capsys, "pricebars", "HPG", *recent, "--format", "csv")[0] == 0
    lines = command(capsys, "store", "info")[1].splitlines()
    assert lines[2:] == [
        "  user demo",
        "    pricebars: 1 ticker",
        f"      HPG  recent days only, {lines[4].rsplit(', ', 1)[1]}",
        "    foreign: 2 tickers",
        "      FPT  2024-01-01 to 2024-03-31, 65 rows",
        "      VNM  2024-01-01 to 2024-03-31, 65 rows",
    ]
    assert re.fullmatch(r"\d rows?", lines[4].rsplit(", ", 1)[1])
    status, out, _ = command(capsys, "store", "clear", "VNM", "FPT")
    assert (status, out) == (0, f"cleared VNM, FPT from the history store {tmp_path / 'history.sqlite3'} (130 rows)\n")


def test_chart_sizes_from_16_to_10000_pixels_as_help_writes_them():
    """Catches a bound of the pixels made exclusive, and ``640 × 480`` (with spaces) refused;
    the sizes refused: test_cli_refusals."""
    sizes = [
        cli.build_parser().parse_args(["chart", "F", "--from", "2024-01-01", "--size", size]).size
        for size in ("16x10000", " 640 × 480 ")
    ]
    assert sizes == [(16, 10000), (640, 480)]


def test_a_call_that_runs_out_of_the_default_deadline_names_it(at, capsys):
    # One retry of 1 s attempts: the call may take 2 s. The service asks for a pause of
    # 1.2 s, which fits; the retry then meets a silent service and the call's limit.
    answers = [Answer(status=503, headers={"Retry-After": "1.2"}), Answer(silent=True)]
    with scripted(lambda request, attempt: answers[min(attempt - 1, 1)]) as server:
        address = server.url
        at(address)
        status, out, err = command(capsys, "pricebars", "FPT", *RANGE, "--timeout", "1", "--retries", "1")
    assert (status, out) == (1, "")
    assert err == (
        f"quorvex: error: FPT: no answer from {address} within the time limit of 2 s of the call, "
        "retries included (--deadline sets it)\n"
    )


def test_chart_refuses_a_panel_it_cannot_show_naming_those_it_can(at, matplotlib, capsys):
    from quorvex.datasets import CHART_PANELS

    status, out, err = command(capsys, "chart", "FPT", *RANGE, "--with", "foreign,dividend")
    assert (status, out) == (1, "")
    assert err == (
        "quorvex: error: --with 'dividend' is not a data set the chart can show "
        f"(choose from {', '.join(CHART_PANELS)})\n"
    )


def test_the_chart_draws_the_tables_the_library_gives(service, matplotlib, capsys, tmp_path):
    from quorvex import chart
    from quorvex.process_client.login import Client

    drawn = tmp_path / "cli.png"
    args = ["FPT", "2024-01-01", "2024-03-31", "W"]
    assert command(capsys, "chart", "FPT", *RANGE, "--period", "W", "--with", "foreign", "-o", str(drawn))[0] == 0
    expected = tmp_path / "library.png"
    Client().login("demo", "demo")
    chart.draw(
        str(expected),
        quorvex.get_pricebars(*args),
        ticker="FPT",
        start=args[1],
        end=args[2],
        period="W",
        panels={"foreign": quorvex.get_foreign(*args, 1)},
    )
    assert drawn.read_bytes() == expected.read_bytes()
