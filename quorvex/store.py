"""The local history store: the rows the service answered, kept in one SQLite file, so
that a call asks the service only for the days it has not answered yet.

``configure(store=...)`` makes a ``HistoryStore`` that ``ConfiguredRequests.get`` asks
before sending a data request. The data functions do not know it is there: they send
one request for [fromDate, toDate] and get back an answer whose JSON is the stored rows
of that whole range in date order (with the missing days fetched first), so the table
they make is the one the service's own answer would give.

What is kept, per identity (the service address and the user logged in), data set and
ticker:

* ``rows``: each row as the service sent it (JSON text), under the day it belongs to
  ("DateTime", or the ex-rights date of a dividend event), the answer it came in (a
  number drawn from ``meta``) and its place in that answer;
* ``covered``: the ranges of days already answered, an answer without rows included.

A range is recorded as covered only up to the re-check window: the last
``recheck_days`` days up to today (and any later day) are asked again on every call,
since a service may still correct them, and what it says then replaces what was kept.
Today is the calendar day in Vietnam (UTC+7, no daylight saving), the market's day,
whatever the machine's zone.

A service may answer two users differently (or refuse one of them), so rows are kept
and read per identity: the address and the name the login was made with. A token held
without a login of this process (``Client.use_token``) is known by the first 16 hex
digits of its SHA-256, never by the token itself; a call without a token is not
answered from the store, nor kept. Each row is kept with a CRC-32 of its text: a row
that does not read back as it was written (damage SQLite's own checks cannot see) is
warned about once, its ticker's kept rows and ranges are forgotten and the call asks
the service for its whole range.

The file is used only when it and its folder belong to the user and others cannot
write to them, and a link to it only when the user made it (one ``StoreWarning`` names
what is refused); a new folder is made 0700 and a new file 0600.

Nothing here ever makes a call fail: a store that cannot be opened or read (a corrupt
file, a layout of a newer quorvex) warns once with ``StoreWarning`` and the calls go to
the service; a folder that cannot be written to keeps nothing, silently; a write that
cannot take the lock within BUSY_TIMEOUT is skipped (the answer is still used). A file
that can be read but not written (nor its folder) keeps nothing either, but ``info``
still shows what it holds, through a connection that creates and changes nothing.
"""

from __future__ import annotations

import datetime
import hashlib
import json
import operator
import os
import pathlib
import sqlite3
import stat
import threading
import time
import warnings
import zlib
from typing import Any, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Set, Tuple, Union

from quorvex.config.config import mask_url
from quorvex.datasets import DATASETS

__all__ = [
    "BUSY_TIMEOUT",
    "DEFAULT_RECHECK_DAYS",
    "HistoryStore",
    "MAX_PIECES",
    "SCHEMA_VERSION",
    "StoreWarning",
    "VIETNAM",
    "default_path",
    "identity",
    "today",
]

#: Days up to today that every call asks for again.
DEFAULT_RECHECK_DAYS = 5

#: Seconds a connection waits for another one's write (thread or process) to end.
BUSY_TIMEOUT = 60.0

#: Requests one call sends at most: gaps beyond these are asked as one, together with
#: the (re-asked) covered days between them.
MAX_PIECES = 2

#: The layout of the file this module writes; older layouts are migrated or set aside.
SCHEMA_VERSION = 3

#: Idle connections kept for the next call; any more are closed as their call ends, so
#: that the descriptors the store holds do not grow with the threads that used it.
IDLE_CONNECTIONS = 2

#: The market's zone: the day the re-check window counts back from is the day there.
VIETNAM = datetime.timezone(datetime.timedelta(hours=7), "UTC+07")

#: File name inside the cache folder.
FILE_NAME = "history.sqlite3"

# The path a data set requests -> its name and the field that dates its rows: the first
# of its dates (a series' "DateTime", a dividend event's ex-rights day). Longest paths
# first, so that one ending another is not taken for it.
_ENDPOINTS: Dict[str, Tuple[str, str]] = {
    row.endpoint: (name, row.dates[0])
    for name, row in sorted(DATASETS.items(), key=lambda item: -len(item[1].endpoint))
    if row.endpoint and row.dates
}

_SCHEMA = (
    "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
    "CREATE TABLE rows (service TEXT NOT NULL, identity TEXT NOT NULL, dataset TEXT NOT NULL,"
    " ticker TEXT NOT NULL, day TEXT NOT NULL, seq INTEGER NOT NULL, body TEXT NOT NULL, crc INTEGER NOT NULL,"
    " answer INTEGER, PRIMARY KEY (service, identity, dataset, ticker, day, seq)) WITHOUT ROWID",
    "CREATE TABLE covered (service TEXT NOT NULL, identity TEXT NOT NULL, dataset TEXT NOT NULL,"
    " ticker TEXT NOT NULL, first TEXT NOT NULL, last TEXT NOT NULL,"
    " PRIMARY KEY (service, identity, dataset, ticker, first)) WITHOUT ROWID",
)

# The columns that name whose rows, of what: an Ask's key.
_KEY = "service = ? AND identity = ? AND dataset = ? AND ticker = ?"

# Steps from one layout to the next, by the older version. Layout 1 kept no identity:
# whose rows it holds cannot be told, so such a file is set aside, as any layout
# without a step is. Layout 2 did not tell which answer a row came in: its rows are of
# no known answer (read in date order).
_MIGRATIONS: Dict[int, Sequence[str]] = {2: ("ALTER TABLE rows ADD COLUMN answer INTEGER",)}

_ONE_DAY = datetime.timedelta(days=1)


class StoreWarning(UserWarning):
    """The history store cannot be used (unreadable, corrupt, of a newer layout) or was
    set aside; the calls go to the service. Given once per store."""


def default_path() -> Optional[pathlib.Path]:
    """The file ``store=True`` uses: ``$QUORVEX_STORE`` when set (``0`` or empty: none),
    else ``$XDG_CACHE_HOME/quorvex/history.sqlite3``, else
    ``~/.cache/quorvex/history.sqlite3``."""
    named = os.environ.get("QUORVEX_STORE")
    if named is not None:
        named = named.strip()
        if named in ("", "0"):
            return None
        return pathlib.Path(named).expanduser()
    cache = os.environ.get("XDG_CACHE_HOME", "").strip()
    # The XDG rules ignore a relative path.
    folder = pathlib.Path(cache) if cache and os.path.isabs(cache) else pathlib.Path.home() / ".cache"
    return folder / "quorvex" / FILE_NAME


def resolve(store: Union[None, bool, str, os.PathLike]) -> Optional[pathlib.Path]:
    """The file a ``configure(store=...)`` value names, or ``None`` for no store."""
    if store is None or store is False:
        return None
    if store is True:
        return default_path()
    if isinstance(store, (str, os.PathLike)):
        text = os.fspath(store)
        if not isinstance(text, str) or not text.strip():
            raise ValueError(f"store must name a file, not {store!r}")
        return pathlib.Path(text).expanduser()
    raise TypeError(f"store must be None, True, False or a file path, not {type(store).__name__}")


#: Seconds since the epoch; tests rebind it to set the day.
_clock = time.time


def today() -> datetime.date:
    """The day the re-check window counts back from: today in Vietnam."""
    return datetime.datetime.fromtimestamp(_clock(), VIETNAM).date()


def _before(day: datetime.date, days: int) -> Optional[datetime.date]:
    """``days`` days before ``day``; ``None`` before the first day a date can hold."""
    try:
        return day - datetime.timedelta(days=days)
    except OverflowError:
        return None


def _next(day: datetime.date) -> Optional[datetime.date]:
    return None if day == datetime.date.max else day + _ONE_DAY


def _previous(day: datetime.date) -> Optional[datetime.date]:
    return None if day == datetime.date.min else day - _ONE_DAY


def identity(headers: Any) -> Optional[str]:
    """Whose rows a request's answer is: "user NAME" when its token is the one the login
    of ``NAME`` gave, "token " and 16 hex digits of the token's SHA-256 for another
    token, ``None`` without a token (nothing is then read or kept)."""
    text = headers.get("Authorization") if isinstance(headers, Mapping) else None
    if not isinstance(text, str) or not text.startswith("Bearer ") or len(text) <= 7:
        return None
    token = text[7:]
    from quorvex.process_client.login import Client

    user = Client.user_of(token)
    if user is not None:
        return f"user {user}"
    return "token " + hashlib.sha256(token.encode("utf-8", "surrogatepass")).hexdigest()[:16]


def _iso_day(text: Any) -> Optional[datetime.date]:
    """The date of a "YYYY-MM-DD" text, alone or followed by a time ("T" or " ")."""
    if not isinstance(text, str) or len(text) < 10 or (len(text) > 10 and text[10] not in "T "):
        return None
    head = text[:10]
    if head[4:5] != "-" or head[7:8] != "-" or not (head[:4] + head[5:7] + head[8:]).isdigit():
        return None
    try:
        return datetime.date.fromisoformat(head)
    except ValueError:
        return None


class Ask(NamedTuple):
    """A data request the store can answer: whose rows, which days."""

    service: str
    dataset: str
    ticker: str
    first: datetime.date
    last: datetime.date
    day_field: str
    identity: str = ""

    @property
    def key(self) -> Tuple[str, str, str, str]:
        return (self.service, self.identity, self.dataset, self.ticker)


def recognise(url: Any, params: Any, headers: Any = None) -> Optional[Ask]:
    """The request of a data function as the store sees it, or ``None`` when it is not
    one the store can answer (no login, another address, a ticker that is not text,
    dates that are not "YYYY-MM-DD", a reversed range): such a request goes to the
    service unchanged."""
    who = identity(headers)
    if who is None:
        return None
    if not isinstance(url, str) or not isinstance(params, dict) or list(params) != ["ticker", "fromDate", "toDate"]:
        return None
    endpoint = next((path for path in _ENDPOINTS if url.endswith(path)), None)
    if endpoint is None:
        return None
    service, known = url[: -len(endpoint)], _ENDPOINTS[endpoint]
    ticker, first_text, last_text = params["ticker"], params["fromDate"], params["toDate"]
    if not isinstance(ticker, str) or not ticker:
        return None
    first, last = _iso_day(first_text), _iso_day(last_text)
    if first is None or last is None or len(first_text) != 10 or len(last_text) != 10 or first > last:
        return None
    return Ask(mask_url(service), known[0], ticker, first, last, known[1], who)


def _gaps(first: datetime.date, last: datetime.date, covered: Iterable[Tuple[str, str]]) -> List[List[datetime.date]]:
    """The stretches of [first, last] outside the covered ranges, at most MAX_PIECES of
    them: the two separated by the shortest covered stretch are joined until they fit."""
    gaps: List[List[datetime.date]] = []
    cursor = first
    to_the_end = True  # days from cursor to last are not covered
    for start_text, end_text in sorted(covered):
        start, end = datetime.date.fromisoformat(start_text), datetime.date.fromisoformat(end_text)
        if end < cursor:
            continue
        if start > last:
            break
        if start > cursor:
            gaps.append([cursor, start - _ONE_DAY])
        after = _next(end)
        if after is None:  # covered up to the last day a date can hold
            to_the_end = False
            break
        cursor = max(cursor, after)
        if cursor > last:
            break
    if to_the_end and cursor <= last:
        gaps.append([cursor, last])
    while len(gaps) > MAX_PIECES:
        join = min(range(len(gaps) - 1), key=lambda n: gaps[n + 1][0] - gaps[n][1])
        gaps[join : join + 2] = [[gaps[join][0], gaps[join + 1][1]]]
    return gaps


class Plan(NamedTuple):
    """What a call needs: the ranges to ask for, and the kept rows of the other days."""

    pieces: List[Tuple[datetime.date, datetime.date]]
    #: (day, row as JSON text): in the order of the answer they came in when they all
    #: came in one, else in date order (each day's rows in their answer's order).
    kept: List[Tuple[str, str]]


def rows_of(ask: Ask, first: datetime.date, last: datetime.date, rows: Any) -> Optional[List[Tuple[str, str]]]:
    """An answer's rows for [first, last] as (day, JSON text) in the answer's order, or
    ``None`` when the store cannot keep them: not a list of objects, a row without a
    readable date, or a row outside the range asked."""
    if not isinstance(rows, list):
        return None
    out: List[Tuple[str, str]] = []
    for row in rows:
        if not isinstance(row, dict):
            return None
        day = _iso_day(row.get(ask.day_field))
        if day is None or day < first or day > last:
            return None
        try:
            text = json.dumps(row, ensure_ascii=False, separators=(",", ":"), allow_nan=True)
            if not text.isascii():
                try:
                    text.encode("utf-8")
                except UnicodeEncodeError:
                    # A lone surrogate (an escape the service sent) has no UTF-8 form:
                    # the row is kept escaped, as it came.
                    text = json.dumps(row, ensure_ascii=True, separators=(",", ":"), allow_nan=True)
        except (TypeError, ValueError):
            return None
        out.append((day.isoformat(), text))
    return out


class _Unusable(Exception):
    """The store cannot be used; ``warn`` tells whether the user is to hear of it."""

    def __init__(self, message: str, warn: bool) -> None:
        super().__init__(message)
        self.warn = warn


class _ReadOnly(_Unusable):
    """The store can be read but not written: nothing is kept, ``info`` still reads."""

    def __init__(self, message: str) -> None:
        super().__init__(message, warn=False)


def _read_only_error(error: sqlite3.Error) -> bool:
    """Whether SQLite refused a write because the file (or its journal) is read-only."""
    code = getattr(error, "sqlite_errorcode", None)  # Python 3.11 and later
    if code is not None:
        return bool(code & 0xFF == sqlite3.SQLITE_READONLY)
    return "readonly database" in str(error)


class _Damaged(Exception):
    """A kept row whose text no longer matches the CRC-32 it was written with."""


class HistoryStore:
    """The rows kept in the SQLite file at ``path``; a connection per call at work, at
    most IDLE_CONNECTIONS of them kept open between calls.

    ``plan``/``save`` serve ``ConfiguredRequests.get``; ``info`` and ``clear`` show and
    empty what is kept; ``refresh = True`` asks the service again for every range.
    Every method returns quietly (nothing kept, nothing read) once the store turned out
    unusable, after one ``StoreWarning`` where one is due.
    """

    def __init__(self, path: Union[str, os.PathLike], recheck_days: int = DEFAULT_RECHECK_DAYS) -> None:
        self.path = pathlib.Path(path)
        self.recheck_days = recheck_days
        #: True: every call asks the service for its whole range, as if nothing were
        #: kept, and what it answers replaces the kept rows of that range.
        self.refresh = False
        self.disabled: Optional[str] = None
        #: True once the file turned out readable but not writable (nor its folder):
        #: nothing is kept, and ``info`` reads it without changing anything.
        self.read_only = False
        self._unreadable = False
        self._damage_told = False
        self._lock = threading.Lock()
        self._ready = False
        self._closed = False
        self._idle: List[sqlite3.Connection] = []
        self._working: List[sqlite3.Connection] = []

    def __repr__(self) -> str:
        return f"<quorvex history store {str(self.path)!r}, recheck_days={self.recheck_days}>"

    # --- Opening ---------------------------------------------------------------------------

    def _disable(self, message: str, warn: bool) -> None:
        with self._lock:
            if self.disabled is not None:
                return
            self.disabled = message
        if warn:
            warnings.warn(StoreWarning(message), stacklevel=4)

    def _connect(self) -> sqlite3.Connection:
        """An idle connection, or a new one; handed back by ``_release``."""
        if self._closed:
            raise _Unusable("the store is closed", warn=False)
        if not self._ready:
            with self._lock:
                if not self._ready:
                    self._prepare()
                    self._ready = True
        with self._lock:
            connection = self._idle.pop() if self._idle else None
        if connection is None:
            connection = self._open()
        with self._lock:
            self._working.append(connection)
        return connection

    def _release(self, connection: sqlite3.Connection) -> None:
        """Keep ``connection`` for the next call, or close it when enough are idle (or
        it was left inside a transaction, or the store is closed)."""
        with self._lock:
            if connection in self._working:
                self._working.remove(connection)
            keep = not self._closed and len(self._idle) < IDLE_CONNECTIONS
            try:
                keep = keep and not connection.in_transaction
            except sqlite3.ProgrammingError:  # closed meanwhile by close()
                return
            if keep:
                self._idle.append(connection)
                return
        connection.close()

    def _open(self) -> sqlite3.Connection:
        connection = sqlite3.connect(
            str(self.path), timeout=BUSY_TIMEOUT, isolation_level=None, check_same_thread=False
        )
        try:
            connection.execute(f"PRAGMA busy_timeout = {int(BUSY_TIMEOUT * 1000)}")
            connection.execute("PRAGMA synchronous = NORMAL")
        except BaseException:
            connection.close()
            raise
        return connection

    def _prepare(self) -> None:
        """Make the folder and the file, switch it to WAL and bring its layout to
        SCHEMA_VERSION; raises ``_Unusable`` when it cannot be used."""
        self._trust_link()
        folder = self.path.parent
        try:
            os.makedirs(folder, mode=0o700, exist_ok=True)
        except OSError as error:
            raise _Unusable(f"cannot make the folder of the history store {folder}: {error}", warn=False) from None
        self._trust(pathlib.Path(os.path.realpath(folder)), "folder")
        if self.path.exists():
            self._trust(pathlib.Path(os.path.realpath(self.path)), "file")
            if not os.access(self.path, os.R_OK):
                raise _Unusable(f"the history store {self.path} cannot be read", warn=True)
            if not os.access(self.path, os.W_OK) or not os.access(folder, os.W_OK | os.X_OK):
                raise _ReadOnly(f"the history store {self.path} is read-only: nothing is kept")
        elif not os.access(folder, os.W_OK | os.X_OK):
            raise _ReadOnly(f"the folder {folder} is read-only: nothing is kept")
        else:
            self._create()
        for _ in range(2):
            try:
                connection = self._open()
            except sqlite3.Error as error:
                raise _Unusable(f"the history store {self.path} cannot be opened: {error}", warn=True) from None
            try:
                if self._layout(connection):
                    return
            except sqlite3.DatabaseError as error:
                if _read_only_error(error):  # refused by the file system, not a damaged file
                    raise _ReadOnly(f"the history store {self.path} is read-only ({error}): nothing is kept") from None
                raise _Unusable(
                    f"the history store {self.path} cannot be read ({error}); calls go to the service. "
                    "Delete the file to start a new one",
                    warn=True,
                ) from None
            finally:
                connection.close()
        raise _Unusable(f"the history store {self.path} could not be set up", warn=True)

    def _trust_link(self) -> None:
        """Refuse a link at the store's path that another user made: it could lead the
        store to a file of theirs, or make one where they choose."""
        try:
            info = os.lstat(self.path)
        except OSError:
            return
        if stat.S_ISLNK(info.st_mode) and info.st_uid != _user():
            raise _Unusable(
                f"the history store {self.path} is a link made by another user (uid {info.st_uid}): not used; "
                "calls go to the service",
                warn=True,
            )

    def _trust(self, place: pathlib.Path, what: str) -> None:
        """Refuse a file or folder of another user, or one others may write to: its rows
        would be theirs to choose."""
        try:
            info = os.stat(place)
        except OSError:
            return
        if info.st_uid != _user():
            reason = f"belongs to another user (uid {info.st_uid})"
        elif info.st_mode & stat.S_IWOTH:
            reason = "can be written by other users"
        else:
            return
        raise _Unusable(f"the history store's {what} {place} {reason}: not used; calls go to the service", warn=True)

    def _create(self) -> None:
        """Make the file, readable and writable by the user alone (SQLite gives its
        journal files the same mode); following no link."""
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
        try:
            os.close(os.open(self.path, flags, 0o600))
        except FileExistsError:
            self._trust_link()  # another process made it meanwhile, or a link appeared
            self._trust(pathlib.Path(os.path.realpath(self.path)), "file")
        except OSError as error:
            raise _Unusable(f"cannot make the history store {self.path}: {error}", warn=False) from None

    def _layout(self, connection: sqlite3.Connection) -> bool:
        """Bring the file to SCHEMA_VERSION; False when it was set aside (open again)."""
        if connection.execute("PRAGMA journal_mode").fetchone()[0].lower() != "wal":
            connection.execute("PRAGMA journal_mode = WAL")
        connection.execute("BEGIN IMMEDIATE")
        try:
            version = _version(connection)
            if version is None:
                for statement in _SCHEMA:
                    connection.execute(statement)
                connection.execute("INSERT INTO meta VALUES ('schema', ?)", (str(SCHEMA_VERSION),))
                connection.execute("COMMIT")
                return True
            if version == SCHEMA_VERSION:
                connection.execute("COMMIT")
                return True
            if version > SCHEMA_VERSION:
                connection.execute("ROLLBACK")
                raise self._newer(version)
            while version in _MIGRATIONS:
                for statement in _MIGRATIONS[version]:
                    connection.execute(statement)
                version += 1
                connection.execute("UPDATE meta SET value = ? WHERE key = 'schema'", (str(version),))
            if version == SCHEMA_VERSION:
                connection.execute("COMMIT")
                return True
            connection.execute("ROLLBACK")
        except BaseException:
            if connection.in_transaction:
                connection.execute("ROLLBACK")
            raise
        self._set_aside(connection, version)
        return False

    def _newer(self, version: int) -> _Unusable:
        return _Unusable(
            f"the history store {self.path} has layout {version}, made by a newer quorvex "
            f"(this one reads {SCHEMA_VERSION}); calls go to the service",
            warn=True,
        )

    def _set_aside(self, connection: sqlite3.Connection, version: int) -> None:
        aside = self.path.with_name(f"{self.path.name}.layout{max(version, 0)}-{int(time.time())}")
        connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        connection.close()
        try:
            os.replace(self.path, aside)
            for suffix in ("-wal", "-shm"):
                extra = self.path.with_name(self.path.name + suffix)
                if extra.exists():
                    extra.unlink()
        except OSError as error:
            message = f"the history store {self.path} has an older layout and cannot be moved: {error}"
            raise _Unusable(message, warn=True) from None
        warnings.warn(
            StoreWarning(
                f"the history store {self.path} had an older layout; it was moved to {aside} and a new one begun"
            ),
            stacklevel=6,
        )

    def _run(self, work: Any, *args: Any) -> Any:
        """``work(connection, *args)``, or ``None`` when the store is unusable (warned once)
        or busy beyond BUSY_TIMEOUT (skipped this time)."""
        if self.disabled is not None:
            return None
        connection: Optional[sqlite3.Connection] = None
        try:
            connection = self._connect()
            return work(connection, *args)
        except _Unusable as error:
            if isinstance(error, _ReadOnly):
                self.read_only = True
            self._disable(str(error), error.warn)
        except sqlite3.OperationalError as error:
            if _busy(error) or self._closed:
                return None
            self._disable(f"the history store {self.path} cannot be used ({error}); calls go to the service", True)
        except sqlite3.DatabaseError as error:
            self._disable(
                f"the history store {self.path} cannot be read ({error}); calls go to the service. "
                "Delete the file to start a new one",
                True,
            )
        except sqlite3.ProgrammingError:  # closed by configure() from another thread
            return None
        finally:
            if connection is not None:
                self._release(connection)
        return None

    # --- Reading and writing ------------------------------------------------------------------

    def plan(self, ask: Ask) -> Optional[Plan]:
        """The ranges ``ask`` needs from the service and the kept rows of its other days,
        read as one snapshot; ``None`` when the store cannot be read."""
        return self._run(self._plan, ask)  # type: ignore[no-any-return]

    def _plan(self, connection: sqlite3.Connection, ask: Ask) -> Plan:
        if self.refresh:
            return Plan([(ask.first, ask.last)], [])
        try:
            return self._read_plan(connection, ask)
        except _Damaged as damage:
            self._forget_damaged(connection, ask, str(damage))
            return Plan([(ask.first, ask.last)], [])

    def _read_plan(self, connection: sqlite3.Connection, ask: Ask) -> Plan:
        first, last = ask.first.isoformat(), ask.last.isoformat()
        connection.execute("BEGIN")
        try:
            covered = connection.execute(
                f"SELECT first, last FROM covered WHERE {_KEY} AND first <= ? AND last >= ?",
                (*ask.key, last, first),
            ).fetchall()
            pieces = [(start, end) for start, end in _gaps(ask.first, ask.last, covered)]
            kept: List[Tuple[str, str]] = []
            if pieces != [(ask.first, ask.last)]:
                rows = connection.execute(
                    f"SELECT day, body, crc, answer, seq FROM rows WHERE {_KEY} AND day BETWEEN ? AND ?"
                    " ORDER BY day, seq",
                    (*ask.key, first, last),
                ).fetchall()
                bounds = [(start.isoformat(), end.isoformat()) for start, end in pieces]
                if bounds:  # the days asked again are not read from the store
                    rows = [row for row in rows if not any(a <= row[0] <= b for a, b in bounds)]
                _check(rows)
                answers: Set[Optional[int]] = {row[3] for row in rows}
                if len(answers) == 1 and None not in answers:
                    # All from one answer: as it came (the service's order, rows of one
                    # day included), which date order would change for an answer that
                    # was not in it.
                    rows.sort(key=operator.itemgetter(4))
                kept = [(day, body) for day, body, _, _, _ in rows]
        finally:
            connection.execute("COMMIT")
        # The re-check window is never recorded as covered (see save): it is always a gap.
        return Plan(pieces, kept)

    def _forget_damaged(self, connection: sqlite3.Connection, ask: Ask, day: str) -> None:
        """Forget the kept rows and ranges of ``ask``'s ticker (for its identity and data
        set), so that they are asked again; warned once per store."""
        connection.execute("BEGIN IMMEDIATE")
        try:
            connection.execute(f"DELETE FROM rows WHERE {_KEY}", ask.key)
            connection.execute(f"DELETE FROM covered WHERE {_KEY}", ask.key)
            connection.execute("COMMIT")
        except BaseException:
            if connection.in_transaction:
                connection.execute("ROLLBACK")
            raise
        with self._lock:
            told, self._damage_told = self._damage_told, True
        if not told:
            warnings.warn(
                StoreWarning(
                    f"the history store {self.path} held a damaged row ({ask.dataset} {ask.ticker} of {day}): "
                    f"what it kept of {ask.ticker} was forgotten and is asked of the service again"
                ),
                stacklevel=5,
            )

    def save(self, ask: Ask, first: datetime.date, last: datetime.date, rows: List[Tuple[str, str]]) -> bool:
        """Replace the kept rows of [first, last] by ``rows`` and record the range as
        covered up to the re-check window, in one transaction. False when nothing was
        kept (store unusable or busy)."""
        settled = _before(today(), self.recheck_days)
        return bool(self._run(self._save, ask, first, last, rows, settled))

    def _save(
        self,
        connection: sqlite3.Connection,
        ask: Ask,
        first: datetime.date,
        last: datetime.date,
        rows: List[Tuple[str, str]],
        settled: Optional[datetime.date],
    ) -> bool:
        key = ask.key
        connection.execute("BEGIN IMMEDIATE")
        try:
            connection.execute(
                f"DELETE FROM rows WHERE {_KEY} AND day BETWEEN ? AND ?",
                (*key, first.isoformat(), last.isoformat()),
            )
            answer = _next_answer(connection)
            connection.executemany(
                "INSERT INTO rows VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                [(*key, day, seq, body, _crc(body), answer) for seq, (day, body) in enumerate(rows)],
            )
            end = None if settled is None else min(last, settled)
            if end is not None and first <= end:
                _cover(connection, key, first, end)
            connection.execute("COMMIT")
        except BaseException:
            if connection.in_transaction:
                connection.execute("ROLLBACK")
            raise
        return True

    # --- What is kept -----------------------------------------------------------------------

    def info(self) -> Optional[List[Dict[str, Any]]]:
        """Per service, user, data set and ticker: the covered ranges and the number of
        rows kept; ``None`` when the store cannot be read. "user" is the identity's name
        ("token" and a hash for a token without a known user). A read-only store (``read_only``)
        is read as it is, creating and changing nothing."""
        if not self.read_only:
            entries = self._run(self._info)
            if not self.read_only:
                return entries  # type: ignore[no-any-return]
        return self._info_read_only()

    def _info(self, connection: sqlite3.Connection) -> List[Dict[str, Any]]:
        connection.execute("BEGIN")  # the counts and the ranges of one moment
        try:
            columns = "service, identity, dataset, ticker"
            counts = {
                tuple(key): count
                for *key, count in connection.execute(f"SELECT {columns}, count(*) FROM rows GROUP BY {columns}")
            }
            ranges: Dict[Tuple[str, ...], List[Tuple[str, str]]] = {}
            for *key, first, last in connection.execute(
                f"SELECT {columns}, first, last FROM covered ORDER BY {columns}, first"
            ):
                ranges.setdefault(tuple(key), []).append((first, last))
        finally:
            connection.execute("COMMIT")
        return [
            {
                "service": key[0],
                "user": key[1].partition(" ")[2] if key[1].startswith("user ") else key[1],
                "dataset": key[2],
                "ticker": key[3],
                "ranges": ranges.get(key, []),
                "rows": counts.get(key, 0),
            }
            for key in sorted(set(counts) | set(ranges))
        ]

    def _info_read_only(self) -> Optional[List[Dict[str, Any]]]:
        """``info`` of a store that cannot be written; ``None`` (warned once) when it
        cannot be read either, or (quietly) when it is closed or busy."""
        if self._closed or self._unreadable:
            return None
        try:
            if not self.path.exists():
                return []
            connection = self._open_read_only()
            try:
                version = _version(connection)
                if version is None:
                    return []
                if version > SCHEMA_VERSION:
                    raise self._newer(version)
                if version < SCHEMA_VERSION:
                    raise _Unusable(
                        f"the history store {self.path} has an older layout and is read-only: "
                        "it can be neither read nor moved aside",
                        warn=True,
                    )
                return self._info(connection)
            finally:
                connection.close()
        except _Unusable as error:
            self._unreadable_now(str(error), error.warn)
        except sqlite3.OperationalError as error:
            if not _busy(error):
                self._unreadable_now(f"the history store {self.path} cannot be read ({error})", True)
        except sqlite3.DatabaseError as error:
            self._unreadable_now(
                f"the history store {self.path} cannot be read ({error}); calls go to the service. "
                "Delete the file to start a new one",
                True,
            )
        except OSError as error:
            self._unreadable_now(f"the history store {self.path} cannot be read ({error})", True)
        return None

    def _unreadable_now(self, message: str, warn: bool) -> None:
        # The store was put aside quietly as read-only; that it cannot be read either is
        # what the user is to hear (once), and what ``disabled`` now says.
        with self._lock:
            if self._unreadable:
                return
            self._unreadable = True
            self.disabled = message
        if warn:
            warnings.warn(StoreWarning(message), stacklevel=4)

    def _open_read_only(self) -> sqlite3.Connection:
        """A connection that only reads, and makes no file next to the store's.

        SQLite reads a WAL file through its "-shm" index, which it makes (and, reading
        only, cannot remove) when missing. When the writes journaled in "-wal" and their
        index are both there (a writer may be at work), they are read with the file;
        without journaled writes everything is in the file, read as immutable: no writer
        has it open then, and one that opens it meanwhile writes only to its journal
        (until a checkpoint of 1000 pages). Journaled writes without their index cannot
        be read without making one: refused."""
        wal = self.path.with_name(self.path.name + "-wal")
        shm = self.path.with_name(self.path.name + "-shm")
        uri = self.path.absolute().as_uri() + "?mode=ro"
        if not (wal.exists() and shm.exists()):
            if wal.exists() and wal.stat().st_size > 0:
                raise _Unusable(
                    f"the history store {self.path} is read-only and holds writes not merged yet "
                    f"({wal.name}) without their index ({shm.name}): it cannot be read as it is",
                    warn=True,
                )
            uri += "&immutable=1"
        connection = sqlite3.connect(uri, uri=True, timeout=BUSY_TIMEOUT, isolation_level=None, check_same_thread=False)
        try:
            connection.execute(f"PRAGMA busy_timeout = {int(BUSY_TIMEOUT * 1000)}")
        except BaseException:
            connection.close()
            raise
        return connection

    def clear(self, tickers: Optional[Sequence[str]] = None) -> int:
        """Forget the rows and ranges of ``tickers`` (all when ``None``), of every service,
        user and data set, and give the space back to the file system; returns the
        number of rows removed."""
        removed = self._run(self._clear, None if tickers is None else list(tickers))
        if removed is not None:
            self._run(_compact)
        return int(removed or 0)

    def _clear(self, connection: sqlite3.Connection, tickers: Optional[List[str]]) -> int:
        connection.execute("BEGIN IMMEDIATE")
        try:
            if tickers is None:
                removed = connection.execute("DELETE FROM rows").rowcount
                connection.execute("DELETE FROM covered")
            else:
                removed = 0
                for ticker in tickers:
                    removed += connection.execute("DELETE FROM rows WHERE ticker = ?", (ticker,)).rowcount
                    connection.execute("DELETE FROM covered WHERE ticker = ?", (ticker,))
            connection.execute("COMMIT")
        except BaseException:
            if connection.in_transaction:
                connection.execute("ROLLBACK")
            raise
        return removed

    def close(self) -> None:
        """Close every thread's connection; the store answers nothing afterwards."""
        with self._lock:
            self._closed = True
            connections, self._idle = self._idle + self._working, []
            self._working = []
        for connection in connections:
            try:
                connection.close()
            except sqlite3.Error:
                pass


def _version(connection: sqlite3.Connection) -> Optional[int]:
    """The layout of the file: ``None`` when it holds no table yet, -1 when it tells none."""
    tables = {name for (name,) in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
    if not tables:
        return None
    if "meta" in tables:
        found = connection.execute("SELECT value FROM meta WHERE key = 'schema'").fetchone()
        if found is not None and str(found[0]).isdigit():
            return int(found[0])
    return -1


def _user() -> int:
    """The user whose files the store may use."""
    return os.geteuid() if hasattr(os, "geteuid") else 0


def _next_answer(connection: sqlite3.Connection) -> int:
    """A number no earlier answer kept in this file has (inside the writer's transaction)."""
    connection.execute("INSERT OR IGNORE INTO meta VALUES ('answers', '0')")
    connection.execute("UPDATE meta SET value = CAST(value AS INTEGER) + 1 WHERE key = 'answers'")
    return int(connection.execute("SELECT value FROM meta WHERE key = 'answers'").fetchone()[0])


def _crc(body: str) -> int:
    return zlib.crc32(body.encode("utf-8"))


def _check(rows: List[Tuple[str, Any, int, Optional[int], int]]) -> None:
    """Raise _Damaged with the first day whose body is no text or no longer matches its
    check sum. The rows of a run are checked at C speed (a loop of Python calls was most
    of the cost of a run served whole from the store); the day is looked for only then."""
    try:
        if list(map(zlib.crc32, map(str.encode, [row[1] for row in rows]))) == [row[2] for row in rows]:
            return
    except TypeError:  # a body that is not a str
        pass
    for day, body, crc, _, _ in rows:
        if not isinstance(body, str) or _crc(body) != crc:
            raise _Damaged(day)


def _compact(connection: sqlite3.Connection) -> None:
    """Move what the journal holds into the file and rebuild it without its free pages;
    skipped (nothing lost) while another connection reads or writes."""
    try:
        connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        connection.execute("VACUUM")
        connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    except sqlite3.OperationalError:  # busy, or no room for the copy: the rows are gone all the same
        pass


def _busy(error: sqlite3.OperationalError) -> bool:
    text = str(error).lower()
    return "locked" in text or "busy" in text


def _cover(
    connection: sqlite3.Connection, key: Tuple[str, str, str, str], first: datetime.date, last: datetime.date
) -> None:
    """Record [first, last] as covered, joined with the ranges it overlaps or touches."""
    low, high = (_previous(first) or first).isoformat(), (_next(last) or last).isoformat()
    touching = connection.execute(
        f"SELECT first, last FROM covered WHERE {_KEY} AND first <= ? AND last >= ?",
        (*key, high, low),
    ).fetchall()
    start, end = first.isoformat(), last.isoformat()
    for old_first, old_last in touching:
        start, end = min(start, old_first), max(end, old_last)
    connection.execute(f"DELETE FROM covered WHERE {_KEY} AND first <= ? AND last >= ?", (*key, high, low))
    connection.execute("INSERT INTO covered VALUES (?, ?, ?, ?, ?, ?)", (*key, start, end))
