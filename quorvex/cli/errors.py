"""What the command line says when something fails: one line a user can act on.

``Failure`` is an expected failure whose message is that line; ``TickerFailures`` holds
the tickers whose fetch failed; ``describe`` words any error; ``report`` prints it with
every secret hidden (and the tracebacks with --debug)."""

from __future__ import annotations

import json
import re
import sys
import traceback
from typing import TYPE_CHECKING, Any, Callable, Dict, Optional

if TYPE_CHECKING:
    import argparse

    import pandas as pd

PROG = "quorvex"


class Failure(Exception):
    """An expected failure: its message is the one line the user sees."""


class TickerFailures(Exception):
    """Tickers whose fetch failed (ticker -> exception), of ``total`` asked for, and the
    table of the others (None if there is none)."""

    def __init__(self, errors: Dict[str, BaseException], total: int, table: Optional["pd.DataFrame"] = None) -> None:
        super().__init__(errors)
        self.errors, self.total, self.table = errors, total, table


def describe(error: BaseException, timeout: Optional[float] = None, deadline: Optional[float] = None) -> str:
    """One line that says what went wrong in terms a user can act on; ``timeout`` and
    ``deadline`` are the time limits that were set (of an attempt, of a whole call), in
    seconds. The order of the checks matters: requests' JSONDecodeError is also a
    RequestException, a time-out also a ConnectionError, and an error with a status
    200 is no refusal."""
    if isinstance(error, (Failure, ImportError)):
        return one_line(str(error))
    if isinstance(error, TickerFailures):
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
        return f"the answer of {_service()} is too large: {one_line(str(error))}"
    if isinstance(error, remote.MalformedAnswer):
        return f"the answer of {_service()} is not a table: {one_line(str(error))}"
    if isinstance(error, requests.exceptions.SSLError):
        return f"cannot connect securely to the service at {_service()}: {_tls_reason(error)}"
    if isinstance(error, requests.ConnectionError):
        return f"cannot connect to the service at {_service()}: {_reason(error)}"
    if isinstance(error, requests.RequestException) and status is None:
        return f"request to {_service()} failed: {_scrubbed(str(error))}"
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
        return f"no column {key!r}" if key and not any(c.isspace() for c in key) else one_line(key)
    return one_line(str(error))


def _service() -> str:
    from quorvex.config import config
    from quorvex.remote import mask_url

    return str(mask_url(str(config.base_url)))


def _reason(error: BaseException) -> str:
    """The innermost reason of a requests error ("[Errno 111] Connection refused"), by
    its kind. The text of a connection error is a chain of reprs that names the
    connection classes of urllib3 and quorvex; it is shown only without them."""
    text = str(error)
    match = re.search(r"\[Errno -?\d+\] [^'\")]*", text)
    if match:
        return match[0].strip()
    match = re.search(
        r"(Read timed out|Connection timed out|Name or service not known|Connection aborted|"
        r"Connection reset by peer|Connection refused|Remote end closed connection without response)",
        text,
    )
    if match:
        return match[0]
    scrubbed = _scrubbed(text)
    return scrubbed if scrubbed and not _NAMED_CLASS.search(scrubbed) else "the connection failed"


def _tls_reason(error: BaseException) -> str:
    """What a failed TLS handshake most likely means, by the error's code."""
    text = str(error)
    if re.search(r"CERTIFICATE_VERIFY_FAILED|certificate verify failed", text, re.IGNORECASE):
        detail = re.search(r"certificate verify failed: ([^'\"(]*)", text)
        why = f" ({detail[1].strip()})" if detail else ""
        return (
            f"its certificate is not trusted{why}: check the certificate, or give the certificate "
            "authority that signed it with --ca-bundle FILE"
        )
    if re.search(r"WRONG_VERSION_NUMBER|wrong version number|record layer failure|UNEXPECTED_RECORD", text):
        return "it does not answer HTTPS on that port: check the address (http:// rather than https://?)"
    match = re.search(r"\[SSL: [A-Z0-9_]+\] [^'\"(]*", text)
    return f"the TLS handshake failed: {match[0].strip()}" if match else "the TLS handshake failed"


#: A class's repr as requests and urllib3 write them into their messages:
#: ``HTTPSConnectionPool(host=...)``, ``<urllib3.connection.HTTPConnection object at 0x...>``.
_OBJECT_REPR = re.compile(r"<[\w.]+ object at 0x[0-9a-fA-F]+>:?\s*|\b[A-Za-z_][\w.]*\((?:host|url)=[^)]*\):?\s*")
_NAMED_CLASS = re.compile(r"\b_?[A-Z]\w*\(|\b_\w+\b")


def _scrubbed(text: str) -> str:
    """``text`` in one line without the reprs of connection objects in it."""
    return one_line(_OBJECT_REPR.sub("", text))


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
                return one_line(body[key])
    text = one_line(text[:EXCERPT_READ])
    return text or getattr(response, "reason", "") or "(empty answer)"


def one_line(text: str, limit: int = 300) -> str:
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 3] + "..."


def report(error: BaseException, options: argparse.Namespace) -> None:
    """The error line on stderr (after the tracebacks with --debug), with every secret
    and the password of the service address hidden."""
    secrets = options.secrets
    causes = list(error.errors.values()) if isinstance(error, TickerFailures) else [error]
    if options.debug:
        for cause in causes:
            text = "".join(traceback.format_exception(type(cause), cause, cause.__traceback__))
            sys.stderr.write(secrets.clean(text))
    # A data function's ValueError or KeyError tells of the answer (see _describe).
    fetched = isinstance(error, TickerFailures)
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


def warning_printer(secrets: Any) -> Callable[..., None]:
    def show(
        message: Any, category: Any, filename: str, lineno: int, file: Any = None, line: Optional[str] = None
    ) -> None:
        """Warnings (of pandas, of sending the login in clear text) as one line each,
        without the source line."""
        print(f"{PROG}: warning: {secrets.clean(one_line(str(message)))}", file=sys.stderr)

    return show
