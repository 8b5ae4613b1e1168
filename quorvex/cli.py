"""The ``quorvex`` command: tables of the data functions as a terminal table, CSV, JSON or
Parquet, and a price chart.

    quorvex pricebars FPT VNM --from 2024-01-01 --to 2024-03-31 --period W
    quorvex chart FPT --from 2024-01-01 --to 2024-06-30 --period W -o fpt.png

The login comes from QUORVEX_USERNAME and QUORVEX_PASSWORD (never from arguments, which
other users of the machine can read in the process list); the token stays in memory and
neither it nor the password is ever printed, tracebacks included. Every request has a
time limit per attempt and per call, so a command never hangs; Ctrl-C ends it at once
with status 130. Expected failures print one line on stderr and exit 1, wrong usage
exits 2; ``--debug`` adds the traceback. Nothing heavy is imported before the arguments
are read, so that ``quorvex --help`` answers at once and the command works without
matplotlib.
"""

from __future__ import annotations

import argparse
import base64
import datetime as dt
import http
import importlib
import json
import math
import os
import re
import signal
import sys
import threading
import traceback
import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, List, NoReturn, Optional, Sequence, Tuple

import quorvex
from quorvex.datasets import CHART_PANELS, DATASETS
from quorvex.process_client import login

if TYPE_CHECKING:
    import pandas as pd

PROG = "quorvex"
USERNAME_VARIABLE = "QUORVEX_USERNAME"
PASSWORD_VARIABLE = "QUORVEX_PASSWORD"
#: Seconds any one attempt of a request may take; the command line always sets a limit.
DEFAULT_TIMEOUT = 30.0
#: Pause factor of the retries: the n-th retry waits BACKOFF * 2 ** (n - 1) seconds.
BACKOFF = 0.5
#: Seconds between a first Ctrl-C and the end of the process, whatever is running then.
INTERRUPT_GRACE = 0.5
DEFAULT_CHART_SIZE = (1200, 800)
FORMATS = ("table", "csv", "json", "parquet")
#: Output format chosen by the suffix of ``-o FILE`` (anything else: CSV).
SUFFIX_FORMATS = {".csv": "csv", ".json": "json", ".parquet": "parquet", ".txt": "table"}


#: What each data set holds, for the help: the registry's words.
DATASET_HELP: Dict[str, str] = {name: dataset.help for name, dataset in DATASETS.items()}
COMMANDS = (*DATASET_HELP, "chart")


class Failure(Exception):
    """An expected failure: its message is the one line the user sees."""


# --- Arguments -------------------------------------------------------------------------


def _positive_number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text!r}")
    return value


def _count(least: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}: {text!r}")
        return value

    return parse


def _size(text: str) -> Tuple[int, int]:
    match = re.fullmatch(r"\s*(\d+)\s*[xX×]\s*(\d+)\s*", text)
    if not match:
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT in pixels: {text!r}")
    return _pixels(match[1]), _pixels(match[2])


def _pixels(text: str) -> int:
    if not text.strip().isdigit() or not 16 <= int(text) <= 10000:
        raise argparse.ArgumentTypeError(f"expected 16 to 10000 pixels: {text!r}")
    return int(text)


def _default_deadline(timeout: float, retries: int) -> float:
    """The time limit of one call to the service when --deadline is not given: the
    library's bound for the attempts, their retries and the pauses between them."""
    from quorvex.remote import call_bound

    bound = call_bound(timeout, retries, BACKOFF, None)
    assert bound is not None  # a time limit is set, so the call has a bound
    return float(bound)


def build_parser() -> argparse.ArgumentParser:
    """The parser of the whole command line, one subcommand per data set plus ``chart``."""
    connection = argparse.ArgumentParser(add_help=False)
    group = connection.add_argument_group(
        "service",
        "Every call to the service (the login, and the request of each ticker) ends "
        "within its time limit, --deadline: %g s with the default settings. A command "
        "therefore takes at most one limit for the login plus one per round of --workers "
        "tickers (the chart: one per data set drawn), and never hangs. Ctrl-C ends it "
        "at once, with status 130." % _default_deadline(DEFAULT_TIMEOUT, 0),
    )
    group.add_argument(
        "--timeout",
        type=_positive_number,
        default=DEFAULT_TIMEOUT,
        metavar="SECONDS",
        help="time limit of each attempt of a request, from connecting to the answer's "
        "last byte, the login included (default %(default)g)",
    )
    group.add_argument(
        "--retries",
        type=_count(0),
        default=0,
        metavar="N",
        help="retries of a request on a connection error or a 429/5xx answer (default 0)",
    )
    group.add_argument(
        "--deadline",
        type=_positive_number,
        metavar="SECONDS",
        help="time limit of each call to the service, its retries and their pauses "
        "included (default: (N + 1) attempts of --timeout and the pauses between them)",
    )
    group.add_argument("--debug", action="store_true", help="show tracebacks of failures")

    dates = argparse.ArgumentParser(add_help=False)
    dates.add_argument("--from", dest="start", required=True, metavar="DATE", help="first day, YYYY-MM-DD")
    dates.add_argument("--to", dest="end", metavar="DATE", help="last day, YYYY-MM-DD (default: today)")

    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Vietnamese stock-market data as tables and charts. Log in through "
        f"the variables {USERNAME_VARIABLE} and {PASSWORD_VARIABLE}; the "
        "service address is QUORVEX_BASE_URL.",
        epilog=f"'{PROG} COMMAND --help' describes each command's options.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {quorvex.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    for name, dataset in DATASETS.items():
        sub = commands.add_parser(
            name,
            parents=[dates, connection],
            help=DATASET_HELP[name],
            description=f"Fetch {DATASET_HELP[name]} of one or more tickers.",
        )
        sub.add_argument("tickers", nargs="+", metavar="TICKER", help="ticker symbols, e.g. FPT VNM")
        if dataset.has_period:
            sub.add_argument(
                "--period",
                default="D",
                metavar="RULE",
                help="D for the days as served, or a pandas resample rule: W, ME, QE, ... (default D)",
            )
        if dataset.has_unit:
            sub.add_argument(
                "--unit",
                type=_positive_number,
                default=1.0,
                metavar="N",
                help="divisor of the money columns, e.g. 1e9 for billions (default 1)",
            )
        out = sub.add_argument_group("output")
        out.add_argument(
            "--format",
            choices=FORMATS,
            help="default: from the suffix of -o; otherwise a table on a "
            "terminal and CSV when piped (parquet needs pyarrow and -o)",
        )
        out.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of stdout")
        out.add_argument(
            "--workers", type=_count(1), default=8, metavar="N", help="tickers fetched at once (default 8)"
        )
        out.add_argument(
            "--progress",
            action=argparse.BooleanOptionalAction,
            default=None,
            help="progress bar on stderr (default: when stderr is a terminal)",
        )
        sub.set_defaults(command_parser=sub)

    chart = commands.add_parser(
        "chart",
        parents=[dates, connection],
        help="candlestick chart of one ticker",
        description="Draw candlesticks of a ticker's price bars with the volume beneath, "
        "as PNG (or SVG, PDF: by the file's suffix). Needs matplotlib: "
        "pip install 'quorvex[chart]'.",
    )
    chart.add_argument("ticker", metavar="TICKER")
    chart.add_argument(
        "--period", default="D", metavar="RULE", help="D, or a pandas resample rule: W, ME, ... (default D)"
    )
    chart.add_argument(
        "--with",
        dest="panels",
        action="append",
        default=[],
        metavar="DATASET",
        help="add a panel: foreign (net value) or matchBook (buy and sell "
        "counts); repeat it or separate by commas for both",
    )
    chart.add_argument(
        "--size",
        type=_size,
        default=DEFAULT_CHART_SIZE,
        metavar="WxH",
        help="image size in pixels (default %d×%d)" % DEFAULT_CHART_SIZE,
    )
    chart.add_argument("--width", type=_pixels, metavar="PIXELS", help="overrides --size")
    chart.add_argument("--height", type=_pixels, metavar="PIXELS", help="overrides --size")
    chart.add_argument("-o", "--output", metavar="FILE", help="file to write (default: TICKER.png)")
    chart.set_defaults(command_parser=chart)
    return parser


def _check_dates(options: argparse.Namespace) -> None:
    """Turn ``--from``/``--to`` into checked ISO texts (``--to`` defaults to today)."""
    days = []
    for flag, text in (("--from", options.start), ("--to", options.end)):
        if text is None:
            days.append(dt.date.today())
            continue
        try:
            if not re.fullmatch(r"\d{4}-\d{2}-\d{2}", text):
                raise ValueError
            days.append(dt.date.fromisoformat(text))
        except ValueError:
            raise Failure(f"{flag} {text!r} is not a date: expected YYYY-MM-DD") from None
    if days[0] > days[1]:
        raise Failure(f"--from {days[0]} is after --to {days[1]}")
    options.start, options.end = (day.isoformat() for day in days)


def _check_period(period: str) -> None:
    """Refuse a rule pandas cannot resample by before anything is fetched."""
    if period == "D":
        return
    from pandas.tseries.frequencies import to_offset

    try:
        to_offset(period)
    except (ValueError, TypeError) as error:
        raise Failure(f"--period {period!r} is not a pandas resample rule ({error})") from None


# --- Service: settings and login ---------------------------------------------------------


class _Session:
    """Applies the command's time limits and retries and logs in from the environment.
    On leaving, it puts back the login state and the login's time limit it found and
    the default of ``configure()``, for callers of ``main()`` inside a program. The
    token it logs in with (or finds) is added to ``secrets``, which no output shows."""

    def __init__(self, options: argparse.Namespace) -> None:
        self.timeout: float = options.timeout
        self.retries: int = options.retries
        self.deadline: float = options.deadline
        self.secrets: _Secrets = options.secrets

    def __enter__(self) -> "_Session":
        from quorvex.remote import configure

        self._token = login.Client.token
        self._login_timeout = login.LOGIN_TIMEOUT
        # The login request obeys the same limit as the data requests.
        login.LOGIN_TIMEOUT = self.timeout
        configure(timeout=self.timeout, retries=self.retries, backoff=BACKOFF, deadline=self.deadline)
        self.secrets.add(self._token)
        try:
            self._log_in()
        except BaseException:
            self.__exit__()
            raise
        self.secrets.add(login.Client.token)
        return self

    def __exit__(self, *exc_info: object) -> None:
        from quorvex.remote import configure

        configure()
        login.LOGIN_TIMEOUT = self._login_timeout
        login.Client.token = self._token

    def _log_in(self) -> None:
        username = os.environ.get(USERNAME_VARIABLE)
        password = os.environ.get(PASSWORD_VARIABLE)
        if not username and not password and self._token is not None:
            return  # a program calling main() has logged in already
        if not username or not password:
            missing = [
                name for name, value in ((USERNAME_VARIABLE, username), (PASSWORD_VARIABLE, password)) if not value
            ]
            raise Failure(f"not logged in: set {' and '.join(missing)} to your login of the service")
        try:
            login.Client().login(username, password)
        except ValueError as error:  # a refused login; network errors pass on
            # Not chained: the refusal's text, and with it an answer that may quote the
            # submitted password, stays out of the --debug traceback too.
            raise Failure(f"{_login_refusal(error)} (check {USERNAME_VARIABLE} and {PASSWORD_VARIABLE})") from None


def _secrets() -> "_Secrets":
    """The secrets known before the login: the password, and the credentials of the
    service address, also in the form requests sends them in (HTTP basic auth), which
    a refusal may quote back."""
    from urllib.parse import unquote, urlsplit

    from quorvex.config import config

    secrets = _Secrets()
    secrets.add(os.environ.get(PASSWORD_VARIABLE))
    try:
        address = urlsplit(str(config.base_url))
        user, password = address.username, address.password
    except ValueError:
        user = password = None
    if password:
        for text in (password, unquote(password)):
            secrets.add(text)
            credentials = f"{unquote(user or '')}:{text}".encode("latin-1", "replace")
            secrets.add(base64.b64encode(credentials).decode())
    return secrets


def _login_refusal(error: ValueError) -> str:
    """What a refused login says: its HTTP status and reason, never the answer's body,
    which may quote the request and the password in it. The login's other refusals
    (an answer without a token, a redirect it does not follow) keep their words."""
    response = getattr(error, "response", None)
    status = getattr(response, "status_code", None)
    reason = getattr(response, "reason", None)
    if not isinstance(status, int):
        match = re.match(r"Login failed with HTTP status (\d{3})\b", str(error))
        status = int(match[1]) if match else None
    if status is None or status < 400:
        return _one_line(str(error))
    if not isinstance(reason, str) or not reason:
        try:
            reason = http.HTTPStatus(status).phrase
        except ValueError:
            reason = ""
    return f"the service refused the login with HTTP status {status}" + (f" {reason}" if reason else "")


class _Secrets:
    """Texts no output may show (the password, the token): ``clean`` puts *** in their
    place and masks the password of any address in a line.

    A secret of fewer than SHORT_SECRET characters is replaced only where it stands
    alone (between characters that are not letters or digits, as a quoted JSON value
    does): everywhere, it would put *** in the middle of half the words of a line."""

    SHORT_SECRET = 4

    def __init__(self) -> None:
        self._texts: List[str] = []

    def add(self, text: Optional[str]) -> None:
        if text and text not in self._texts:
            self._texts.append(text)
            # The longest first, so that one secret inside another is hidden whole.
            self._texts.sort(key=len, reverse=True)

    def clean(self, text: str) -> str:
        from quorvex.remote import mask_url

        for secret in self._texts:
            if len(secret) >= self.SHORT_SECRET:
                text = text.replace(secret, "***")
            else:
                text = re.sub(rf"(?<![^\W_]){re.escape(secret)}(?![^\W_])", "***", text)
        return str(mask_url(text))


# --- Fetching ------------------------------------------------------------------------------


def _fetch(options: argparse.Namespace) -> "pd.DataFrame":
    """The table of every ticker. One ticker gives exactly its data function's table;
    several go through ``quorvex.download``, whose DownloadError carries the table of
    those that succeeded. Failures come out as _TickerFailures."""
    from quorvex.remote import DownloadError, download

    dataset = DATASETS[options.command]
    keywords: Dict[str, Any] = {}
    if dataset.has_period:
        keywords["period"] = options.period
    if dataset.has_unit:
        keywords["unit"] = _unit(options.unit)
    tickers: List[str] = options.tickers
    if len(tickers) == 1:
        function = getattr(importlib.import_module(dataset.module), dataset.function)
        try:
            table: "pd.DataFrame" = function(tickers[0], options.start, options.end, *keywords.values())
            return table
        except Exception as error:
            raise _TickerFailures({tickers[0]: error}, 1) from error
    try:
        return download(
            options.command,
            tickers,
            options.start,
            options.end,
            workers=options.workers,
            progress=options.progress,
            **keywords,
        )
    except DownloadError as error:
        raise _TickerFailures(error.errors, len(dict.fromkeys(tickers)), error.table) from error


def _unit(value: float) -> float:
    """A whole unit as an int, as a caller of the function would write it."""
    return int(value) if value.is_integer() else value


# --- Output ----------------------------------------------------------------------------------


def _output_format(options: argparse.Namespace) -> str:
    if options.format:
        chosen: str = options.format
    elif options.output:
        chosen = SUFFIX_FORMATS.get(os.path.splitext(options.output)[1].lower(), "csv")
    else:
        chosen = "table" if sys.stdout.isatty() else "csv"
    return chosen


def render(table: "pd.DataFrame", fmt: str) -> bytes:
    """The table as UTF-8 text in format ``fmt`` ("table", "csv" or "json").

    CSV and JSON carry the index as the first column when it is named (the "DateTime"
    of the time series), not the plain row numbers of the dividend table, so that
    ``pandas.read_csv(..., index_col="DateTime", parse_dates=True)`` gives the table back.
    """
    if fmt == "table":
        text: str = table.to_string()
        return (text + "\n").encode()
    keep_index = table.index.name is not None
    if fmt == "csv":
        text = table.to_csv(index=keep_index)
        return text.encode()
    if fmt == "json":
        return _to_json(table.reset_index() if keep_index else table).encode()
    raise ValueError(f"unknown format {fmt!r}")


def _to_json(frame: "pd.DataFrame") -> str:
    """An array of one object per row, one row per line. Times are ISO texts (the date
    alone when a column holds only midnights); NaN, NaT and infinities are null; numbers
    keep every digit."""
    from pandas.api.types import is_datetime64_any_dtype

    names = [str(name) for name in frame.columns]
    columns: List[List[Any]] = []
    for _, column in frame.items():
        if is_datetime64_any_dtype(column):
            known = column.dropna()
            midnight = bool((known == known.dt.normalize()).all())
            column = column.dt.strftime("%Y-%m-%d" if midnight else "%Y-%m-%dT%H:%M:%S")
        columns.append([_json_cell(cell) for cell in column.tolist()])
    rows = (
        json.dumps(dict(zip(names, cells)), ensure_ascii=False, allow_nan=False, default=_json_default)
        for cells in zip(*columns)
    )
    body = ",\n".join(rows)
    return f"[\n{body}\n]\n" if body else "[]\n"


def _json_cell(cell: Any) -> Any:
    if isinstance(cell, float) and not math.isfinite(cell):
        return None
    if cell is None or (type(cell).__name__ in ("NaTType", "NAType")):
        return None
    return cell


def _json_default(value: Any) -> Any:
    """numpy scalars and timestamps left in object columns."""
    if hasattr(value, "isoformat"):
        return value.isoformat()
    if hasattr(value, "item"):
        return _json_cell(value.item())
    return str(value)


def write_table(table: "pd.DataFrame", fmt: str, path: Optional[str]) -> None:
    """Write ``table`` to ``path``, or to stdout when ``path`` is None."""
    if fmt == "parquet":
        assert path is not None
        try:
            # Checked here: pandas' own message is several lines long.
            importlib.import_module("pyarrow")
        except ImportError:
            raise Failure("writing Parquet needs pyarrow: pip install 'quorvex[parquet]'") from None
        table.to_parquet(path)
        return
    data = render(table, fmt)
    if path is None:
        if fmt == "table" and sys.stdout.encoding:
            # A terminal that cannot show Vietnamese gets replacement marks, not an error.
            data = data.decode().encode(sys.stdout.encoding, "replace")
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    try:
        with open(path, "wb") as file:
            file.write(data)
    except OSError as error:
        raise Failure(f"cannot write {path}: {error.strerror or error}") from None


# --- Commands --------------------------------------------------------------------------------


def _run_dataset(options: argparse.Namespace) -> int:
    fmt = _output_format(options)
    _check_dates(options)
    if getattr(options, "period", "D") != "D":
        _check_period(options.period)
    with _Session(options):
        try:
            table = _fetch(options)
        except _TickerFailures as failures:
            # Some tickers failed: keep what the others gave, then name every failure.
            if failures.table is not None and len(failures.table.columns):
                write_table(failures.table, fmt, options.output)
            raise
    write_table(table, fmt, options.output)
    return 0


class _TickerFailures(Exception):
    """Tickers whose fetch failed (ticker -> exception), of ``total`` asked for, and the
    table of the others (None if there is none)."""

    def __init__(self, errors: Dict[str, BaseException], total: int, table: Optional["pd.DataFrame"] = None) -> None:
        super().__init__(errors)
        self.errors, self.total, self.table = errors, total, table


def _run_chart(options: argparse.Namespace) -> int:
    _check_dates(options)
    # --with foreign --with matchBook, or --with foreign,matchBook
    options.panels = [name for text in options.panels for name in text.split(",") if name]
    unknown = [name for name in options.panels if name not in CHART_PANELS]
    if unknown:
        raise Failure(
            f"--with {unknown[0]!r} is not a data set the chart can show (choose from {', '.join(CHART_PANELS)})"
        )
    _check_period(options.period)
    # Before any request, so that a missing matplotlib costs no wait.
    from quorvex import chart

    try:
        chart.require_matplotlib()
    except chart.MissingMatplotlib as error:
        raise Failure(str(error)) from None
    path = options.output or f"{options.ticker}.png"
    with _Session(options):
        from quorvex.process_stock.pricebars import get_pricebars

        try:
            bars = get_pricebars(options.ticker, options.start, options.end, options.period)
            panels = {}
            for name in dict.fromkeys(options.panels):
                dataset = DATASETS[name]
                function = getattr(importlib.import_module(dataset.module), dataset.function)
                unit = (1,) if dataset.has_unit else ()
                panels[name] = function(options.ticker, options.start, options.end, options.period, *unit)
        except Exception as error:
            raise _TickerFailures({options.ticker: error}, 1) from error
    if not len(bars):
        raise Failure(f"no price bars for {options.ticker} from {options.start} to {options.end}")
    try:
        chart.draw(
            path,
            bars,
            ticker=options.ticker,
            start=options.start,
            end=options.end,
            period=options.period,
            panels=panels,
            size=(options.width or options.size[0], options.height or options.size[1]),
        )
    except OSError as error:
        raise Failure(f"cannot write {path}: {error.strerror or error}") from None
    print(f"chart written to {path}", file=sys.stderr)
    return 0


# --- Errors --------------------------------------------------------------------------------


def describe(error: BaseException, timeout: Optional[float] = None, deadline: Optional[float] = None) -> str:
    """One line that says what went wrong in terms a user can act on; ``timeout`` and
    ``deadline`` are the time limits that were set (of an attempt, of a whole call), in
    seconds. The order of the checks matters: requests' JSONDecodeError is also a
    RequestException, a time-out also a ConnectionError, and an error with a status
    200 is no refusal."""
    if isinstance(error, (Failure, ImportError)):
        return _one_line(str(error))
    if isinstance(error, _TickerFailures):
        failed = "; ".join(
            f"{ticker}: {_describe(cause, timeout, deadline, fetched=True)}" for ticker, cause in error.errors.items()
        )
        if error.total == 1:
            return failed
        return f"{len(error.errors)} of {error.total} tickers failed: {failed}"
    return _describe(error, timeout, deadline)


def _describe(error: BaseException, timeout: Optional[float], deadline: Optional[float], fetched: bool = False) -> str:
    """``describe`` of one error; ``fetched``: raised by a data function, whose
    ValueError (status 200) and KeyError mean a table that is not the documented one."""
    import requests

    from quorvex import remote

    response = getattr(error, "response", None)
    status = getattr(response, "status_code", None)
    if isinstance(error, remote.DeadlineExceeded):
        limit = f" of {deadline:g} s" if deadline else ""
        return (
            f"no answer from {_service()} within the time limit{limit} of the call, "
            "retries included (--deadline sets it)"
        )
    if isinstance(error, requests.Timeout) or _timed_out(error):
        limit = f" of {timeout:g} s" if timeout else ""
        return f"no answer from {_service()} within the time limit{limit} (--timeout sets it)"
    if isinstance(error, (requests.exceptions.JSONDecodeError, json.JSONDecodeError)):
        return f"the answer of {_service()} is not JSON; is QUORVEX_BASE_URL the service's root address?"
    if isinstance(error, remote.ResponseTooLarge):
        return f"the answer of {_service()} is too large: {_one_line(str(error))}"
    if isinstance(error, remote.MalformedAnswer):
        return f"the answer of {_service()} is not a table: {_one_line(str(error))}"
    if isinstance(error, requests.ConnectionError):
        return f"cannot connect to the service at {_service()}: {_reason(error)}"
    if isinstance(error, requests.RequestException) and status is None:
        return f"request to {_service()} failed: {_one_line(str(error))}"
    if isinstance(status, int) and status != 200 and isinstance(error, ValueError):
        return f"the service refused the request with HTTP status {status}: {_body_excerpt(response)}"
    if isinstance(error, (ValueError, KeyError)) and (fetched or response is not None):
        # The table the service sent is not the one documented: a figure that is not a
        # number, a date that is not a date, a column that is missing.
        return f"the answer of {_service()} is not the expected table: {_error_text(error)}"
    text = _error_text(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _timed_out(error: BaseException) -> bool:
    """A connection error that is a time limit running out (as requests may report a
    read that timed out), which is told as a time-out, not as a failed connection."""
    import requests

    return isinstance(error, requests.ConnectionError) and bool(re.search(r"timed? ?out", str(error), re.IGNORECASE))


def _error_text(error: BaseException) -> str:
    # A KeyError's str is the repr of its key: show the message it was given instead,
    # or name the column when the key is a bare name.
    if isinstance(error, KeyError) and len(error.args) == 1 and isinstance(error.args[0], str):
        key = error.args[0]
        return f"no column {key!r}" if key and not any(c.isspace() for c in key) else _one_line(key)
    return _one_line(str(error))


def _service() -> str:
    from quorvex.config import config
    from quorvex.remote import mask_url

    return str(mask_url(str(config.base_url)))


def _reason(error: BaseException) -> str:
    """The innermost reason of a requests error ("[Errno 111] Connection refused")."""
    text = str(error)
    match = re.search(r"\[Errno -?\d+\] [^'\")]*", text)
    if match:
        return match[0].strip()
    match = re.search(r"(Read timed out|Connection timed out|Name or service not known)", text)
    return match[0] if match else _one_line(text)


#: Characters of a refused answer's body that are read for its excerpt; a long page
#: (an HTML error page, say) is neither parsed as a whole nor shown.
EXCERPT_READ = 4096


def _body_excerpt(response: Any) -> str:
    text = getattr(response, "text", "") or ""
    body = None
    if len(text) <= EXCERPT_READ:
        try:
            body = json.loads(text)
        except ValueError:
            pass
    if isinstance(body, dict):
        for key in ("error", "message", "detail"):
            if isinstance(body.get(key), str):
                return _one_line(body[key])
    text = _one_line(text[:EXCERPT_READ])
    return text or getattr(response, "reason", "") or "(empty answer)"


def _one_line(text: str, limit: int = 300) -> str:
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _report(error: BaseException, options: argparse.Namespace) -> None:
    """The error line on stderr (after the tracebacks with --debug), with every secret
    and the password of the service address hidden."""
    secrets: _Secrets = options.secrets
    causes = list(error.errors.values()) if isinstance(error, _TickerFailures) else [error]
    if options.debug:
        for cause in causes:
            text = "".join(traceback.format_exception(type(cause), cause, cause.__traceback__))
            sys.stderr.write(secrets.clean(text))
    # A data function's ValueError or KeyError tells of the answer (see _describe).
    fetched = isinstance(error, _TickerFailures)
    unexpected = not options.debug and any(
        _unexpected(cause) and not (fetched and isinstance(cause, (ValueError, KeyError))) for cause in causes
    )
    hint = " (--debug shows the traceback)" if unexpected else ""
    line = describe(error, options.timeout, options.deadline)
    print(f"{PROG}: error: {secrets.clean(line)}{hint}", file=sys.stderr)


def _unexpected(error: BaseException) -> bool:
    """True for errors that no wording of ours explains (a fault, not a failure)."""
    if isinstance(error, (Failure, ImportError)):
        return False
    import requests

    if isinstance(error, (requests.RequestException, json.JSONDecodeError)):
        return False
    return getattr(error, "response", None) is None


def _warning_printer(secrets: _Secrets) -> Callable[..., None]:
    def show(
        message: Any, category: Any, filename: str, lineno: int, file: Any = None, line: Optional[str] = None
    ) -> None:
        """Warnings (of pandas, of sending the login in clear text) as one line each,
        without the source line."""
        print(f"{PROG}: warning: {secrets.clean(_one_line(str(message)))}", file=sys.stderr)

    return show


# --- Ctrl-C --------------------------------------------------------------------------------

_ending = threading.Lock()


def _end_interrupted() -> NoReturn:
    """End the process at once with status 130, from whichever thread comes first.

    Worker threads may still wait on the network: the process does not wait for them
    (os._exit runs no exit handlers, so neither concurrent.futures' join of its workers
    nor the interpreter's shutdown with threads still inside compiled calls)."""
    if _ending.acquire(blocking=False):
        try:
            # os.write: the main thread may hold the lock of sys.stderr.
            os.write(2, f"{PROG}: interrupted\n".encode())
        except OSError:
            pass
        os._exit(130)
    threading.Event().wait()  # the other thread is ending the process
    raise AssertionError("unreachable")


def _on_interrupt(signum: int, frame: Any) -> None:
    """The first Ctrl-C unwinds the command as Python does; should that take longer
    than INTERRUPT_GRACE, or Ctrl-C come again, the process ends at once."""
    signal.signal(signal.SIGINT, _on_repeated_interrupt)
    watchdog = threading.Timer(INTERRUPT_GRACE, _end_interrupted)
    watchdog.daemon = True
    watchdog.start()
    raise KeyboardInterrupt


def _on_repeated_interrupt(signum: int, frame: Any) -> None:
    _end_interrupted()


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line ``argv`` (default: ``sys.argv[1:]``); return the exit status.

    0: done; 1: an expected failure, told in one line on stderr; 2: wrong usage (argparse
    exits with it); 130: interrupted.

    Without ``argv``, as the ``quorvex`` command and ``python -m quorvex``, the command
    owns the process: Ctrl-C ends it within INTERRUPT_GRACE seconds and without waiting
    for threads still at work (``os._exit(130)``). Called with ``argv`` from a program,
    an interrupt returns 130 instead.
    """
    owner = argv is None and threading.current_thread() is threading.main_thread()
    if owner and signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        signal.signal(signal.SIGINT, _on_interrupt)
    try:
        return _main(list(sys.argv[1:] if argv is None else argv))
    except KeyboardInterrupt:
        if owner:
            _end_interrupted()
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


def _main(args: List[str]) -> int:
    if args and not args[0].startswith("-") and args[0] not in COMMANDS:
        print(f"{PROG}: error: unknown data set {args[0]!r} (choose from {', '.join(COMMANDS)})", file=sys.stderr)
        return 1
    parser = build_parser()
    options = parser.parse_args(args)
    if getattr(options, "format", None) == "parquet" and not options.output:
        options.command_parser.error("--format parquet needs -o FILE")
    if options.deadline is None:
        options.deadline = _default_deadline(options.timeout, options.retries)
    options.secrets = _secrets()
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _warning_printer(options.secrets)
            if options.command == "chart":
                return _run_chart(options)
            return _run_dataset(options)
    except BrokenPipeError:
        # The reader left (``quorvex ... | head``): stop quietly. Python would report the
        # failed flush of stdout at exit, so point stdout at nothing first.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Exception as error:
        _report(error, options)
        return 1
