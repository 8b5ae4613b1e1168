"""``-o FILE`` replaces a file whole: the table goes to a file beside it, which takes its
place only once complete. A write that fails (the file too large for the limit, the
disk full) or is interrupted by Ctrl-C leaves the old file byte for byte and no
temporary file; a write that succeeds keeps the old file's mode. Each fault happens in a
child process, by a real signal or a real file-size limit."""

import importlib.util
import os
import signal
import stat
import subprocess
import sys

import pandas as pd
import pytest

from quorvex.cli.rendering import write_table

pytestmark = pytest.mark.timeout(60)

OLD = b"DateTime,Close\n2020-01-02,1.0\n" * 50

# The child makes a table of ``rows`` rows and writes it with ``write_table`` over the
# file in argv[1]; ``fault`` sets what goes wrong on the way.
CHILD = """
import os, resource, signal, sys, time
import numpy as np
import pandas as pd
from quorvex.cli import app, rendering
from quorvex.cli.errors import Failure

path, fmt, fault = sys.argv[1:4]
days = pd.date_range("2001-01-01", periods=200_000, freq="h", name="DateTime")
table = pd.DataFrame({"Close": np.arange(len(days), dtype=float), "Volume": np.arange(len(days))}, index=days)

if fault == "file too large":
    # Python ignores SIGXFSZ: a write past the limit fails with EFBIG, as on a full disk.
    resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, resource.RLIM_INFINITY))
elif fault.startswith("ctrl-c"):
    if fault == "ctrl-c, the command's own handler, the writer stuck":
        signal.signal(signal.SIGINT, app._on_interrupt)
    def held(descriptor, told=[]):
        # The table is written and not yet in place: the moment Ctrl-C finds here (told
        # inside the try, so that the interrupt cannot come before it).
        while True:
            try:
                if not told:
                    told.append(print("held", flush=True))
                time.sleep(30)
            except KeyboardInterrupt:
                if fault == "ctrl-c":
                    raise
                # A writer busy in compiled code does not see the interrupt: the
                # command's grace ends the process.

    os.fsync = held
try:
    rendering.write_table(table, fmt, path)
except Failure as failure:
    print("failure", failure, flush=True)
    sys.exit(1)
print("written", flush=True)
"""


def formats():
    return ["csv", "json", *(["parquet"] if importlib.util.find_spec("pyarrow") else [])]


def folder_state(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


def start(path, fmt, fault):
    # The child gets SIGINT with its default action (Python's handler), as from a
    # terminal, even when this suite was started in the background with SIGINT ignored.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        return subprocess.Popen(
            [sys.executable, "-c", CHILD, str(path), fmt, fault],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
    finally:
        signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("fmt", formats())
@pytest.mark.parametrize(
    "fault, status",
    [
        ("file too large", 1),
        ("ctrl-c", -signal.SIGINT),
        ("ctrl-c, the command's own handler, the writer stuck", 130),
    ],
)
def test_a_failed_or_interrupted_write_leaves_the_old_file_and_no_part(tmp_path, fmt, fault, status):
    """Written in place, Ctrl-C left a 0-byte file and a full disk a cut one: the old
    table was lost; a temporary file left behind would fill the folder."""
    path = tmp_path / f"out.{fmt}"
    path.write_bytes(OLD)
    path.chmod(0o640)
    before = folder_state(tmp_path)
    with start(path, fmt, fault) as child:
        try:
            if fault.startswith("ctrl-c"):
                assert child.stdout.readline() == "held\n", child.stderr.read()
                child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=50)
        finally:
            child.kill()  # none is left behind for a later test to meet
    assert folder_state(tmp_path) == before, err
    assert child.returncode == status, (out, err)
    assert "written" not in out
    if fault == "file too large":
        assert out.startswith(f"failure cannot write {path}: "), out
    assert stat.S_IMODE(path.stat().st_mode) == 0o640


def small_table():
    days = pd.date_range("2024-01-01", periods=3, freq="D", name="DateTime")
    return pd.DataFrame({"Close": [1.5, 2.5, 3.5]}, index=days)


@pytest.mark.parametrize(
    "setup, expected_mode",
    [
        ("new file", 0o644),  # the umask's mode, not a temporary file's 0600
        ("existing 0640 file", 0o640),
        ("existing 0600 file", 0o600),
        ("link to an existing file", 0o640),
    ],
)
def test_a_complete_write_replaces_the_file_and_keeps_its_mode(tmp_path, setup, expected_mode):
    """A temporary file renamed over the target would carry its own 0600 and turn a link
    into a plain file."""
    target = tmp_path / "bars.csv"
    given = target
    if setup != "new file":
        target.write_bytes(OLD)
        target.chmod(0o600 if "0600" in setup else 0o640)
    if setup.startswith("link"):
        given = tmp_path / "link.csv"
        given.symlink_to(target.name)
    previous = os.umask(0o022)
    try:
        write_table(small_table(), "csv", str(given))
    finally:
        os.umask(previous)
    assert target.read_text() == "DateTime,Close\n2024-01-01,1.5\n2024-01-02,2.5\n2024-01-03,3.5\n"
    assert stat.S_IMODE(target.stat().st_mode) == expected_mode
    assert given.is_symlink() == setup.startswith("link")
    assert sorted(os.listdir(tmp_path)) == sorted({target.name, given.name})


def test_what_is_not_a_regular_file_is_written_as_it_is(tmp_path):
    """``-o /dev/stdout`` or a named pipe cannot be replaced by a rename: it is written."""
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    reader = subprocess.Popen(
        [sys.executable, "-c", f"print(open({str(pipe)!r}).read(), end='')"], stdout=subprocess.PIPE
    )
    write_table(small_table(), "csv", str(pipe))
    assert reader.communicate(timeout=30)[0].decode().splitlines()[1] == "2024-01-01,1.5"
    assert stat.S_ISFIFO(os.lstat(pipe).st_mode) and os.listdir(tmp_path) == ["pipe"]
    write_table(small_table(), "json", os.devnull)
