"""A history store that can be read but not written (the file, its folder, or both):
``quorvex store info`` and ``HistoryStore.info()`` show what it holds, writes a writer
has not merged yet included, and create or change nothing next to it; ``store clear``
refuses in one line; what cannot be read fails in one line naming why.

The commands run in a child process that file modes bind: as root (who writes whatever
the mode), one started by ``setpriv`` without the capabilities that override them."""

import contextlib
import hashlib
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile

import pytest

from helpers import PACKAGE_ROOT
from quorvex.store import HistoryStore, recognise

pytestmark = pytest.mark.timeout(120)

SERVICE = "http://127.0.0.1:9"
# The identity of the token "t" the stores below are filled with.
WHO = "token " + hashlib.sha256(b"t").hexdigest()[:16]
INFO_API = (
    "import json, sys\n"
    "from quorvex.store import HistoryStore\n"
    "store = HistoryStore(sys.argv[1])\n"
    "print(json.dumps([store.info(), store.read_only, store.disabled]))\n"
)


@pytest.fixture(scope="module")
def bound(tmp_path_factory):
    """The command prefix of a child that file modes bind (none when not root)."""
    if os.geteuid() != 0:
        return []
    prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"]
    if shutil.which("setpriv") is None:
        pytest.skip("running as root, and setpriv is not there to give up overriding file modes")
    probe = tmp_path_factory.mktemp("probe") / "locked"
    probe.write_text("")
    probe.chmod(0o444)
    done = subprocess.run([*prefix, sys.executable, "-c", f"open({str(probe)!r}, 'a')"], capture_output=True)
    if done.returncode == 0:
        pytest.skip("a read-only file cannot be made binding here, even through setpriv")
    return prefix


def run(bound, path, *args):
    """Run ``args`` (after the interpreter) in a bound child on the store at ``path``:
    (exit status, stdout, stderr)."""
    env = {**os.environ, "QUORVEX_STORE": str(path), "PYTHONPATH": PACKAGE_ROOT}
    done = subprocess.run(
        [*bound, sys.executable, *args], env=env, capture_output=True, text=True, timeout=60, cwd=tempfile.gettempdir()
    )
    return done.returncode, done.stdout, done.stderr


def fill(path):
    """A store holding two tickers of prices and one of dividends."""
    store = HistoryStore(path)
    for endpoint, ticker, field, days in (
        ("pricebars", "FPT", "DateTime", ["2024-01-02", "2024-01-03"]),
        ("pricebars", "VNM", "DateTime", ["2024-01-02"]),
        ("diviend", "FPT", "Ng\u00e0y GD kh\u00f4ng h\u01b0\u1edfng quy\u1ec1n", ["2023-06-01"]),
    ):
        query = {"ticker": ticker, "fromDate": "2023-01-01", "toDate": "2024-01-31"}
        ask = recognise(f"{SERVICE}/api/stock/{endpoint}", query, {"Authorization": "Bearer t"})
        assert store.save(ask, ask.first, ask.last, [(day, f'{{"{field}": "{day}"}}') for day in days])
    store.close()


def state(folder):
    """What a reader must leave as it found: each file's name and bytes (the "-shm"
    index only by name: readers mark their place in it)."""
    return {
        name: None if name.endswith("-shm") else hashlib.sha256((folder / name).read_bytes()).hexdigest()
        for name in sorted(os.listdir(folder))
    }


def unmerged_writes(path, index=True):
    """Leave a write in the journal of the store, as a writer at work (or one that
    ended without merging it) does: a ticker HPG with one row."""
    child = (
        "import os, sqlite3, sys\n"
        "connection = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
        "connection.execute('PRAGMA wal_autocheckpoint = 0')\n"
        f"connection.execute(\"INSERT INTO rows VALUES ('{SERVICE}', '{WHO}', 'pricebars', 'HPG',"
        " '2024-01-04', 0, '{}', 0, NULL)\")\n"
        "os._exit(0)\n"
    )
    subprocess.run([sys.executable, "-c", child, str(path)], check=True, timeout=60)
    if not index:
        path.with_name(path.name + "-shm").unlink()
    assert path.with_name(path.name + "-wal").stat().st_size > 0


KEPT = [
    f"service {SERVICE}",
    f"  {WHO}",
    "    pricebars: 2 tickers",
    "      FPT  2023-01-01 to 2024-01-31, 2 rows",
    "      VNM  2023-01-01 to 2024-01-31, 1 row",
    "    dividend: 1 ticker",
    "      FPT  2023-01-01 to 2024-01-31, 1 row",
]
ENTRIES = [
    {"service": SERVICE, "user": WHO, "dataset": dataset, "ticker": ticker, "ranges": [["2023-01-01", "2024-01-31"]]}
    | {"rows": rows}
    for dataset, ticker, rows in (("dividend", "FPT", 1), ("pricebars", "FPT", 2), ("pricebars", "VNM", 1))
]
HPG = {"service": SERVICE, "user": WHO, "dataset": "pricebars", "ticker": "HPG", "ranges": [], "rows": 1}


@pytest.mark.parametrize("locked", ["file", "folder", "both, with writes not merged yet", "the journal only"])
def test_info_reads_a_store_that_cannot_be_written_and_changes_nothing(bound, tmp_path, locked):
    folder = tmp_path / "cache"
    folder.mkdir()
    path = folder / "history.sqlite3"
    fill(path)
    kept, entries = KEPT, ENTRIES
    if locked in ("both, with writes not merged yet", "the journal only"):
        unmerged_writes(path)
        kept = [*KEPT[:2], "    pricebars: 3 tickers", KEPT[3], "      HPG  recent days only, 1 row", *KEPT[4:]]
        entries = [*ENTRIES[:2], HPG, ENTRIES[2]]
    before = state(folder)
    if locked == "the journal only":
        # The file and its folder can be written, the journal not: SQLite refuses the
        # writes, which is no sign of a damaged file.
        for suffix in ("-wal", "-shm"):
            path.with_name(path.name + suffix).chmod(0o444)
    else:
        if locked != "folder":
            path.chmod(0o444)
        if locked != "file":
            folder.chmod(0o555)
    try:
        status, out, err = run(bound, path, "-m", "quorvex", "store", "info")
        assert (status, err) == (0, ""), err
        lines = out.splitlines()
        assert re.fullmatch(rf"history store {re.escape(str(path))}, \d+\.\d kB, read-only", lines[0]), lines[0]
        assert lines[1:] == kept
        # The API, warning of nothing (a store the user cannot write is no fault).
        status, out, err = run(bound, path, "-W", "error", "-c", INFO_API, str(path))
        assert (status, err) == (0, ""), err
        got, read_only, why = json.loads(out)
        assert (got, read_only) == (entries, True)
        assert why.startswith(f"the history store {path} is read-only") and why.endswith(": nothing is kept"), why

        status, out, err = run(bound, path, "-m", "quorvex", "store", "clear", "FPT")
        assert status == 1 and out == "", out
        assert err == f"quorvex: error: the history store {path} is read-only: nothing can be cleared from it\n"
        assert state(folder) == before
    finally:
        folder.chmod(0o755)


def newer_layout(path):
    with contextlib.closing(sqlite3.connect(path)) as connection, connection:
        connection.execute("UPDATE meta SET value = '99' WHERE key = 'schema'")


def older_layout(path):
    with contextlib.closing(sqlite3.connect(path)) as connection, connection:
        connection.execute("DROP TABLE meta")


def corrupt(path):
    with open(path, "r+b") as file:
        file.write(b"not a database at all")


@pytest.mark.parametrize(
    "spoil, error",
    [
        (lambda path: unmerged_writes(path, index=False), "is read-only and holds writes not merged yet"),
        (newer_layout, "has layout 99, made by a newer quorvex"),
        (older_layout, "has an older layout and is read-only: it can be neither read nor moved aside"),
        (corrupt, "cannot be read (file is not a database)"),
    ],
    ids=["journal without its index", "newer layout", "older layout", "corrupt"],
)
def test_a_read_only_store_that_cannot_be_read_fails_info_in_one_line(bound, tmp_path, spoil, error):
    folder = tmp_path / "cache"
    folder.mkdir()
    path = folder / "history.sqlite3"
    fill(path)
    spoil(path)
    before = state(folder)
    path.chmod(0o444)
    folder.chmod(0o555)
    try:
        for action in ("info", "clear"):
            status, out, err = run(bound, path, "-m", "quorvex", "store", action)
            assert status == 1 and out == "", out
            assert err.startswith(f"quorvex: error: the history store {path} {error}") and err.count("\n") == 1, err
        assert state(folder) == before
    finally:
        folder.chmod(0o755)
