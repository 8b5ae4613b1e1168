"""Edges of configure's calls checked against servers on 127.0.0.1: the session quorvex
makes used outside a data call, answers made of kept rows, the progress bar of a slow
service, and download's signature as the README states it."""

import json

import pytest
import requests

import quorvex
from helpers import outcome
from hostile_servers import Answer
from quorvex import remote
from quorvex.process_client.login import Client

pytestmark = pytest.mark.timeout(30)

FROM, TO = "2024-01-01", "2024-01-31"
TOKEN = "tok-edges-5a1e"
ROWS = [
    {"DateTime": f"2024-01-{day:02d}", "Open": 1, "High": 2, "Low": 1, "Close": 1.5, "Volume": 100}
    for day in range(2, 6)
]
BODY = json.dumps(ROWS).encode()


@pytest.fixture(autouse=True)
def _logged_in():
    Client.token = TOKEN


def pricebars(ticker="FPT"):
    return quorvex.get_pricebars(ticker, FROM, TO, "D")


# --- the session quorvex makes, and a caller's ---


def test_the_configured_session_also_works_outside_a_data_call(serve):
    server = serve(Answer(body=BODY))
    quorvex.configure(timeout=5)
    configured = remote.configured()
    assert configured.get(f"{server.url}/any").json() == ROWS
    # The configured object stands in for the requests module in the data modules.
    assert configured.exceptions is requests.exceptions and configured.codes.ok == 200
    assert repr(configured).startswith("<quorvex configured requests: timeout=5, session=<quorvex transport: libcurl")


# --- answers made of kept rows ---


def test_an_answer_of_kept_rows_is_a_whole_200_answer(serve, tmp_path):
    import quorvex.process_stock.pricebars as module

    server = serve(Answer(body=BODY))
    quorvex.configure(timeout=5, store=tmp_path / "history.sqlite3", recheck_days=0)
    pricebars()
    params = {"ticker": "FPT", "fromDate": "2024-01-02", "toDate": "2024-01-04"}
    url = f"{server.url}/api/stock/pricebars"
    answer = module.requests.get(url, params=params, headers={"Authorization": f"Bearer {TOKEN}"})
    assert len(server.received) == 1  # every day of it was kept
    assert (answer.status_code, answer.reason, answer.headers["X-Quorvex-Store"]) == (200, "OK", "kept")
    assert answer.url == f"{url}?ticker=FPT&fromDate=2024-01-02&toDate=2024-01-04"
    assert answer.request.headers["Authorization"] == f"Bearer {TOKEN}"
    assert answer.json() == ROWS[:3]


def test_an_answer_fetched_for_the_store_is_checked_as_any_other(serve, tmp_path):
    # Nothing of the range is kept yet: the request goes out as asked, and its answer
    # must still be decoded strictly (invalid UTF-8 is a MalformedAnswer, not a table).
    serve(Answer(body=b'[{"DateTime": "2024-01-02", "Open": "\xff"}]'))
    quorvex.configure(timeout=5, store=tmp_path / "history.sqlite3")
    error = outcome(pricebars)
    assert type(error) is remote.MalformedAnswer and "not valid UTF-8" in str(error)


@pytest.mark.timeout(60)
def test_the_progress_bar_moves_while_the_service_is_slow(sample_service_module, capsys):
    pytest.importorskip("tqdm")
    import quorvex.process_stock.pricebars as module

    with sample_service_module.make_server(port=0, latency_ms=300) as server:
        Client.token = server.issue_token()
        before = module.base_url
        quorvex.set_base_url(server.base_url)
        try:
            quorvex.configure(timeout=10)
            table = quorvex.download("pricebars", ["FPT", "VCB", "HPG"], FROM, TO, workers=1, progress=True)
        finally:
            quorvex.set_base_url(before)
    assert table["ticker"].unique().tolist() == ["FPT", "VCB", "HPG"]
    assert "3/3" in capsys.readouterr().err


def test_the_readme_states_downloads_signature():
    import inspect
    import pathlib
    import re

    readme = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    stated = re.search(r"`qv\.download\((.*?)\)` calls", readme, re.S)
    assert stated, "the README states download's signature"
    written = " ".join(stated[1].split())
    actual = ", ".join(
        str(parameter.replace(annotation=inspect.Parameter.empty))
        for parameter in inspect.signature(quorvex.download).parameters.values()
    ).replace("'", '"')
    assert written == actual.replace("workers", "*, workers", 1)
