"""quorvex's own transport: requests in requests' terms (an address and its query, the
session's headers merged with the request's, a JSON body) sent through libcurl, and
redirects followed by requests' rules, the token never to another origin."""

from __future__ import annotations

import json
import re
import urllib.parse
from typing import Any, Dict, List, Optional, Tuple

import pycurl
import requests
import requests.structures
import requests.utils

from quorvex.config.config import mask_url, origin, without_userinfo
from quorvex.remote.curl import OutOfTime, Pool, TooLarge, Verify
from quorvex.remote.steps import Exchange, Steps, run

__all__ = ["OutOfTime", "TooLarge", "Transport", "Verify"]

#: The most redirects followed, as requests follows them.
MAX_REDIRECTS = 30
#: Statuses that redirect, when the answer names where (Location).
REDIRECTS = frozenset({301, 302, 303, 307, 308})
#: Headers every request carries unless it says otherwise (requests' defaults).
DEFAULT_HEADERS: Dict[str, str] = {
    "User-Agent": requests.utils.default_user_agent(),
    "Accept": "*/*",
}
# Texts that quote_plus leaves as they are.
_PLAIN = re.compile(r"[A-Za-z0-9_.~-]*")


def _prepared(method: str, url: str, headers: Dict[str, str], body: Optional[bytes]) -> requests.PreparedRequest:
    """The request as requests would show it on its answer (``response.request``)."""
    request = requests.PreparedRequest()
    request.method = method
    request.url = url
    request.headers = requests.structures.CaseInsensitiveDict(headers)
    request.body = body
    return request


class Transport(Pool):
    """Sends the requests of quorvex's own session (see ``Pool`` for ``verify`` and
    ``keep``)."""

    def __init__(self, verify: Verify = True, keep: int = 16) -> None:
        super().__init__(verify, keep)
        # The addresses ahead of a query as requests quotes them, and the merged headers.
        self._requote: Dict[str, str] = {}
        self._headers: Dict[Tuple[Any, ...], Dict[str, str]] = {}

    def __repr__(self) -> str:
        return f"<quorvex transport: libcurl {pycurl.version_info()[1]}, verify={self.verify!r}>"

    def send(self, *args: Any) -> requests.Response:
        """The request through quorvex's own transport, redirects followed (``steps``'
        arguments)."""
        return run(self.steps(*args))

    def steps(
        self,
        method: str,
        url: str,
        kwargs: Dict[str, Any],
        connect: Optional[float],
        gap: Optional[float],
        end: Optional[float],
        cap: Optional[int],
    ) -> Steps[requests.Response]:
        """The exchanges of one request, redirects followed as requests follows them: at
        most MAX_REDIRECTS, a 303 (and a 301 or 302 of a POST) asked again with GET, the
        token dropped on the way to another origin."""
        method = method.upper()
        address = self._with_query(url, kwargs.get("params"))
        headers = self._merged_headers(kwargs.get("headers"))
        body: Optional[bytes] = None
        if kwargs.get("json") is not None:
            body = json.dumps(kwargs["json"], allow_nan=False).encode("utf-8")
            headers = {**headers, "Content-Type": headers.get("Content-Type", "application/json")}
        follow = kwargs.get("allow_redirects", True)
        history: List[requests.Response] = []
        while True:
            response = yield Exchange(self, (method, address, headers, body, connect, end, cap, gap))
            response.request = _prepared(method, address, headers, body)
            target = response.headers.get("Location") if response.status_code in REDIRECTS else None
            if not follow or target is None:
                break
            if len(history) >= MAX_REDIRECTS:
                raise requests.exceptions.TooManyRedirects(f"Exceeded {MAX_REDIRECTS} redirects.", response=response)
            history.append(response)
            target = requests.utils.requote_uri(
                urllib.parse.urljoin(address, target.encode("latin-1").decode("utf-8", "replace"))
            )
            if urllib.parse.urlsplit(target).scheme not in ("http", "https"):
                raise requests.exceptions.InvalidSchema(f"a redirect to {mask_url(target)}, which is not http or https")
            if origin(target) != origin(address):
                headers = {name: value for name, value in headers.items() if name.lower() != "authorization"}
            status = response.status_code
            if (status == 303 and method != "HEAD") or (status in (301, 302) and method == "POST"):
                method, body = "GET", None
                headers = {name: value for name, value in headers.items() if name.lower() != "content-type"}
            address = without_userinfo(target)
        if history:
            response.history = history
        return response

    def _merged_headers(self, extra: Optional[Dict[str, Any]]) -> Dict[str, str]:
        """The default headers updated by the request's, None removing one (as requests
        merges them): made once per distinct set, as a download sends the same headers
        thousands of times. The result is not to be changed."""
        key = tuple(extra.items()) if extra else ()
        known = self._headers.get(key)
        if known is None:
            known = dict(DEFAULT_HEADERS)
            for name, value in key:
                for same in [same for same in known if same.lower() == name.lower()]:
                    del known[same]
                if value is not None:
                    known[name] = value
            if len(self._headers) >= 16:
                self._headers.clear()  # a token renewed again and again
            self._headers[key] = known
        return known

    def _with_query(self, url: str, params: Any) -> str:
        """``url`` with ``params`` as requests puts them in the query."""
        if not params:
            return requests.utils.requote_uri(url) if "?" in url else self._requoted(url, "")
        if (
            type(params) is dict
            and "?" not in url
            and all(type(k) is str and type(v) is str and _PLAIN.fullmatch(k + v) for k, v in params.items())
        ):
            # Names and values needing no quoting: the query requests would make, as it stands.
            return self._requoted(url, "?") + "&".join(f"{k}={v}" for k, v in params.items())
        prepared = requests.PreparedRequest()
        prepared.prepare_url(url, params)
        return prepared.url or url

    def _requoted(self, url: str, tail: str) -> str:
        key = url + tail
        known = self._requote.get(key)
        if known is None:
            if len(self._requote) >= 256:
                self._requote.clear()
            known = self._requote[key] = requests.utils.requote_uri(key)
        return known
