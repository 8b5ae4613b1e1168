"""What a finished libcurl transfer gave: its answer as requests gives one (its body
already read), or what went wrong, told in requests' exceptions."""

from __future__ import annotations

import http
import os
import re
from typing import Any

import pycurl
import requests
import requests.structures
import requests.utils

# libcurl's codes for what went wrong, by the requests exception each one means.
_CONNECT_ERRORS = {
    pycurl.E_COULDNT_RESOLVE_PROXY,
    pycurl.E_COULDNT_RESOLVE_HOST,
    pycurl.E_COULDNT_CONNECT,
}
_TLS_ERRORS = {
    pycurl.E_SSL_CONNECT_ERROR,
    pycurl.E_PEER_FAILED_VERIFICATION,
    pycurl.E_SSL_CERTPROBLEM,
    pycurl.E_SSL_CIPHER,
    pycurl.E_SSL_CACERT_BADFILE,
    pycurl.E_SSL_ISSUER_ERROR,
    getattr(pycurl, "E_SSL_CACERT", 60),
    getattr(pycurl, "E_SSL_PINNEDPUBKEYNOTMATCH", 90),
    getattr(pycurl, "E_SSL_INVALIDCERTSTATUS", 91),
    getattr(pycurl, "E_SSL_CRL_BADFILE", 82),
}


class TooLarge(Exception):
    """The body passed the cap; ``response`` holds the answer's status and headers."""

    def __init__(self, response: requests.Response, cap: int) -> None:
        super().__init__(cap)
        self.response = response
        self.cap = cap


class OutOfTime(Exception):
    """The transfer ran out of time; ``connected`` tells a connect from a read."""

    def __init__(self, connected: bool, message: str) -> None:
        super().__init__(message)
        self.connected = connected


def failure_of(handle: Any, error: Any, transfer: Any, url: str) -> BaseException:
    """What went wrong in a transfer that ended with the ``pycurl.error`` ``error``, as
    requests (or ``TooLarge``, ``OutOfTime``) would tell it."""
    code, text = error.args[0], str(error.args[1])
    status = handle.getinfo(pycurl.RESPONSE_CODE)
    where = masked(url)
    if transfer.too_large and transfer.cap is not None:
        return TooLarge(answer_of(handle, transfer, url, body=False), transfer.cap)
    if transfer.stalled:
        return OutOfTime(True, f"no more of the answer within {transfer.gap:g} s")
    if code == pycurl.E_OPERATION_TIMEDOUT:
        connected = handle.getinfo(pycurl.CONNECT_TIME) > 0 or status != 0
        return OutOfTime(connected, text)
    if code in _TLS_ERRORS:
        found = re.search(r"(?:SSL certificate problem|verify result):\s*(.*)", text)
        problem = found[1].strip() if found else ""
        if problem or code == pycurl.E_PEER_FAILED_VERIFICATION:
            # Worded as Python's ssl words it, which the command line's hints read.
            return requests.exceptions.SSLError(
                f"TLS with {where} failed: certificate verify failed: {problem or text}"
            )
        return requests.exceptions.SSLError(f"TLS with {where} failed: {text}")
    if code in (pycurl.E_BAD_CONTENT_ENCODING, pycurl.E_WRITE_ERROR):
        # A write error not of the cap's making is the unpacker's (a gzip body of
        # several members, which libcurl does not join).
        coding = next((value for name, value in transfer.headers if name.lower() == "content-encoding"), "")
        return requests.exceptions.ContentDecodingError(f"the body is not valid {coding.strip().lower()}: {text}")
    if code in _CONNECT_ERRORS:
        number = handle.getinfo(pycurl.OS_ERRNO)
        if code != pycurl.E_COULDNT_CONNECT:
            text = f"{text} (Name or service not known)"
        elif number:
            text = f"[Errno {number}] {os.strerror(number)}"
        return requests.exceptions.ConnectionError(f"no connection to {where}: {text}")
    if status and code in (pycurl.E_PARTIAL_FILE, pycurl.E_RECV_ERROR, getattr(pycurl, "E_HTTP2_STREAM", 92)):
        # The answer began and was cut: a body that ended early.
        return requests.exceptions.ChunkedEncodingError(f"Connection broken: the answer of {where} was cut: {text}")
    return requests.exceptions.ConnectionError(f"Connection aborted: {where}: {text}")


def masked(url: str) -> str:
    from quorvex.config.config import mask_url

    return mask_url(url)


def answer_of(handle: Any, transfer: Any, url: str, body: bool = True) -> requests.Response:
    """The answer gathered as requests would give it (its body already read)."""
    response = requests.Response()
    response.status_code = handle.getinfo(pycurl.RESPONSE_CODE)
    version, _, reason = transfer.status_line.partition(" ")[2].partition(" ")
    if not reason:
        try:
            reason = http.HTTPStatus(response.status_code).phrase
        except ValueError:
            reason = ""
    response.reason = reason
    headers: requests.structures.CaseInsensitiveDict[str] = requests.structures.CaseInsensitiveDict()
    for name, value in transfer.headers:
        headers[name] = f"{headers[name]}, {value}" if name in headers else value
    response.headers = headers
    response.url = handle.getinfo(pycurl.EFFECTIVE_URL) or url
    response.encoding = requests.utils.get_encoding_from_headers(headers)
    response._content = b"".join(transfer.parts) if body else b""
    return response
