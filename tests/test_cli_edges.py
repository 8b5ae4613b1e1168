"""Edges of the command line run in this process as ``quorvex.cli.main(argv)``: the chart
command from its options to the file it writes, the options' values at their limits, the
wording of failures, the output formats' details, and the store commands' reports."""

import importlib
import struct

import pytest

import quorvex
from hostile_servers import Answer, HostileServer
from quorvex import cli
from quorvex.config import config
from quorvex.datasets import DATASETS

pytestmark = pytest.mark.timeout(60)

RANGE = ["--from", "2024-01-01", "--to", "2024-03-31"]


@pytest.fixture
def at(monkeypatch):
    """``at(url)`` points every data module and the login at ``url``, logged in from the
    environment; the address is put back afterwards."""
    monkeypatch.setenv("QUORVEX_USERNAME", "demo")
    monkeypatch.setenv("QUORVEX_PASSWORD", "demo")
    monkeypatch.setenv("QUORVEX_STORE", "0")
    for dataset in DATASETS.values():
        monkeypatch.setattr(importlib.import_module(dataset.module), "base_url", config.base_url)
    monkeypatch.setattr(config, "base_url", config.base_url)
    return quorvex.set_base_url


@pytest.fixture
def service(sample_service_module, at):
    """The sample service, with the ranges it was asked for in ``.asked``."""
    with sample_service_module.make_server(port=0) as server:
        at(server.base_url)
        yield server


def scripted(data):
    """A scripted server whose login answers a token and whose data requests get ``data``."""

    def respond(request, attempt):
        if request.path.endswith("/api/auth/login"):
            return Answer(body=b'{"token": "tok-edges-1"}')
        return data(request, attempt) if callable(data) else data

    return HostileServer(respond)


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


def test_chart_without_price_bars_is_one_line_and_writes_nothing(at, matplotlib, capsys, tmp_path):
    with scripted(Answer(body=b"[]")) as server:
        at(server.url)
        path = tmp_path / "c.png"
        status, out, err = command(capsys, "chart", "FPT", *RANGE, "-o", str(path))
    assert (status, out) == (1, "")
    assert err == "quorvex: error: no price bars for FPT from 2024-01-01 to 2024-03-31\n"
    assert not path.exists()


def test_chart_fetch_failure_names_the_ticker_once(at, matplotlib, capsys, tmp_path):
    with scripted(Answer(status=404, body=b'{"error": "no such ticker"}')) as server:
        at(server.url)
        status, out, err = command(capsys, "chart", "ZZZ", *RANGE, "-o", str(tmp_path / "c.png"))
    assert (status, out) == (1, "")
    assert err == "quorvex: error: ZZZ: the service refused the request with HTTP status 404: no such ticker\n"


def test_chart_to_a_folder_that_does_not_exist_is_one_line(service, matplotlib, capsys, tmp_path):
    path = tmp_path / "missing" / "c.png"
    status, out, err = command(capsys, "chart", "FPT", *RANGE, "-o", str(path))
    assert (status, out) == (1, "")
    assert err == f"quorvex: error: cannot write {path}: No such file or directory\n"


def test_chart_refuses_an_unknown_suffix_listing_the_other_types(service, matplotlib, capsys, tmp_path):
    from matplotlib.backend_bases import FigureCanvasBase

    status, _, err = command(capsys, "chart", "FPT", *RANGE, "-o", "c.PNGX")
    others = sorted(set(FigureCanvasBase.get_supported_filetypes()) - {"png", "svg", "pdf"})
    assert status == 1
    assert err == (
        "quorvex: error: -o c.PNGX: '.pngx' is not an image type the chart can write; end the name with "
        f".png, .svg or .pdf (or {', '.join('.' + name for name in others)})\n"
    )
    assert service.asked == []
    # An upper-case suffix of a known type is that type.
    assert command(capsys, "chart", "FPT", *RANGE, "-o", str(tmp_path / "c.PNG"))[0] == 0
    assert png_size(tmp_path / "c.PNG") == (1200, 800)
