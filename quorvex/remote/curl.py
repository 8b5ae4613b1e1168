"""libcurl, through pycurl: pooled handles, one exchange at a time, and what went
wrong told in requests' exceptions.

libcurl frames every answer itself (a body never runs into the next request's answer on
a kept-alive connection), bounds a whole transfer (``TIMEOUT_MS``), unpacks every coding
it offers, speaks HTTP/2 where a TLS server offers it, and does it all in C. Handles are
pooled: a thread takes an idle one (with its kept-alive connection) for a request and
gives it back, so connections are reused across threads; their DNS cache and TLS
sessions are shared. The CA bundle is found as requests finds it (libcurl's own default
is a path of the system its wheel was built on), proxies as requests reads them.
"""

from __future__ import annotations

import contextlib
import os
import signal
import threading
import time
from typing import Any, Dict, Iterator, List, Mapping, Optional, Tuple, Union

import pycurl
import requests
import requests.utils
from requests.utils import DEFAULT_CA_BUNDLE_PATH

from quorvex.remote.multi import Calls
from quorvex.remote.outcome import OutOfTime, TooLarge, answer_of, failure_of, masked

__all__ = ["OutOfTime", "Pool", "TooLarge", "Verify"]

#: Verify: True (the bundle requests would use), False (no check), or a CA file or folder.
Verify = Union[bool, str]

# Called once connected, before the request goes (libcurl 7.80 and later).
_PREREQ = getattr(pycurl, "PREREQFUNCTION", None)


class _Transfer:
    """What one transfer gathers: the last answer's status line and headers, its body."""

    __slots__ = (
        *("status_line", "headers", "parts", "size", "cap", "too_large", "gap", "since", "got", "stalled"),
        "signalled",
    )

    def __init__(self) -> None:
        self.reset(None, None)

    def reset(self, cap: Optional[int], gap: Optional[float]) -> None:
        """Ready for the next transfer of its handle. ``gap``: the longest wait for the
        next bytes once connected (the read part of a (connect, read) time limit), as
        requests bounds each read."""
        self.gap = gap
        self.since = time.monotonic()
        self.got = 0
        self.stalled = False
        self.signalled: Optional[Tuple[int, Any]] = None
        self.status_line = ""
        self.headers: List[Tuple[str, str]] = []
        self.parts: List[bytes] = []
        self.size = 0
        self.cap = cap
        self.too_large = False

    def connected(self, *_: Any) -> int:
        self.since = time.monotonic()
        return 0

    def interrupted(self, signum: int, frame: Any) -> None:
        # The SIGINT handler on the main thread while a transfer runs. Python runs it in
        # whichever callback of the transfer comes next, and an exception raised in the
        # header or write callbacks would be printed and lost by pycurl: it is noted
        # here, the transfer stops at the next progress call, and the program's own
        # handler runs once the transfer is out of the way.
        self.signalled = (signum, frame)

    def stalls(self, moment: float) -> bool:
        """Whether the answer has stopped coming for longer than the gap (then noted)."""
        self.stalled = self.stalled or (self.gap is not None and moment - self.since > self.gap)
        return self.stalled

    def progress(self, _total: int, now: int, *_: Any) -> int:
        # Called by libcurl while a transfer waits (about once a second when nothing
        # comes, far more often while bytes come), on the thread that sends it.
        if self.signalled is not None:
            return 1
        if self.gap is not None:
            moment = time.monotonic()
            if now != self.got:
                self.got, self.since = now, moment
            elif self.stalls(moment):
                return 1
        return 0

    def header(self, line: bytes) -> None:
        self.since = time.monotonic()
        text = line.decode("iso-8859-1").rstrip("\r\n")
        if text.startswith("HTTP/"):
            # A new answer's head (after a 100 Continue, or a proxy's CONNECT).
            self.status_line = text
            self.headers = []
        elif text and ":" in text:
            name, _, value = text.partition(":")
            self.headers.append((name.strip(), value.strip()))

    def write(self, data: bytes) -> Optional[int]:
        # Unpacked bytes, counted as they come: past the cap the transfer stops here.
        if self.gap is not None:
            self.since = time.monotonic()
        self.size += len(data)
        if self.cap is not None and self.size > self.cap:
            self.too_large = True
            self.parts.clear()
            return 0
        self.parts.append(data)
        return None


class _Handle:
    """A libcurl handle with the transfer its callbacks fill, and the options last set
    on it (set again only when they change: a download sends the same ones thousands
    of times)."""

    __slots__ = ("curl", "transfer", "headers", "proxy", "connect", "watched", "url", "method")

    def __init__(self, curl: Any) -> None:
        self.curl = curl
        self.transfer = _Transfer()
        self.headers: Any = None
        self.proxy: Optional[str] = None
        self.connect: Optional[int] = None
        self.watched: Optional[bool] = None
        self.url = ""
        self.method = "GET"
        curl.setopt(pycurl.HEADERFUNCTION, self.transfer.header)
        curl.setopt(pycurl.WRITEFUNCTION, self.transfer.write)
        curl.setopt(pycurl.XFERINFOFUNCTION, self.transfer.progress)
        if _PREREQ is not None:
            curl.setopt(_PREREQ, self.transfer.connected)


class Pool:
    """libcurl handles, pooled, each with its kept-alive connection.

    ``verify``: True checks the server's certificate against the bundle requests would
    use (``REQUESTS_CA_BUNDLE``, ``CURL_CA_BUNDLE``, else certifi's); a path: that CA
    file or folder; False: no check. Proxies come from the environment as requests reads
    them (``HTTP_PROXY``, ``HTTPS_PROXY``, ``ALL_PROXY``, ``NO_PROXY``, either case); a
    ``~/.netrc`` is never read.
    """

    def __init__(self, verify: Verify = True, keep: int = 16) -> None:
        self.verify = verify
        self.keep = keep
        self._cainfo = _ca_bundle(verify)
        self._idle: List[_Handle] = []
        self._lock = threading.Lock()
        self._share = pycurl.CurlShare()
        self._share.setopt(pycurl.SH_SHARE, pycurl.LOCK_DATA_DNS)
        self._share.setopt(pycurl.SH_SHARE, pycurl.LOCK_DATA_SSL_SESSION)
        self._proxies: Dict[str, str] = {}
        self._many: List[Calls] = []
        self._closed = False

    # --- handles ---

    def _take(self) -> Any:
        with self._lock:
            if self._idle:
                return self._idle.pop()
        handle = pycurl.Curl()
        pooled = _Handle(handle)
        handle.setopt(pycurl.SHARE, self._share)
        handle.setopt(pycurl.NOSIGNAL, 1)
        handle.setopt(pycurl.ACCEPT_ENCODING, "")  # every coding libcurl unpacks
        handle.setopt(pycurl.FOLLOWLOCATION, 0)  # redirects are followed above, by requests' rules
        # http and https only, whatever a redirect names; one kept connection per handle
        # (and one more while a redirect goes elsewhere), so the pool bounds descriptors.
        handle.setopt(pycurl.PROTOCOLS, pycurl.PROTO_HTTP | pycurl.PROTO_HTTPS)
        handle.setopt(pycurl.MAXCONNECTS, 2)
        if self._cainfo is None:
            handle.setopt(pycurl.SSL_VERIFYPEER, 0)
            handle.setopt(pycurl.SSL_VERIFYHOST, 0)
        elif os.path.isdir(self._cainfo):
            handle.setopt(pycurl.CAPATH, self._cainfo)
        else:
            handle.setopt(pycurl.CAINFO, self._cainfo)
        return pooled

    def _give_back(self, handle: _Handle) -> None:
        with self._lock:
            if not self._closed and len(self._idle) < self.keep:
                self._idle.append(handle)
                return
        handle.curl.close()

    def close(self) -> None:
        with self._lock:
            self._closed = True
            idle, self._idle = self._idle, []
            many, self._many = self._many, []
        for handle in idle:
            handle.curl.close()
        for calls in many:
            calls.close()

    @contextlib.contextmanager
    def many(self) -> Iterator[Calls]:
        """A multi handle of the pool's, with the connections it keeps, to do many calls
        at once on one thread (``quorvex.remote.multi.Calls``)."""
        with self._lock:
            calls = self._many.pop() if self._many else None
        if calls is None:
            calls = Calls()
        try:
            yield calls
        finally:
            with self._lock:
                kept = not self._closed
                if kept:
                    self._many.append(calls)
            if not kept:
                calls.close()

    def _proxy_for(self, url: str) -> str:
        # Per scheme and host: what ends at the first "/" after "scheme://".
        end = url.find("/", url.find("//") + 2)
        key = url if end < 0 else url[:end]
        proxy = self._proxies.get(key)
        if proxy is None:
            found = requests.utils.select_proxy(url, requests.utils.get_environ_proxies(url))
            # An empty text tells libcurl to use no proxy, its own reading of the
            # environment included.
            proxy = self._proxies[key] = found or ""
        return proxy

    # --- one exchange ---

    def exchange(self, *args: Any) -> requests.Response:
        """One request and its answer on this thread (``begin``'s arguments)."""
        pooled = self.begin(*args)
        url = pooled.url
        handle, transfer = pooled.curl, pooled.transfer
        failed: Optional[BaseException] = None
        handler = signal.getsignal(signal.SIGINT) if _on_main() else None
        if callable(handler):
            signal.signal(signal.SIGINT, transfer.interrupted)
        try:
            handle.perform()
        except pycurl.error as error:
            failed = error
        except BaseException:
            self.release(pooled, keep=False)  # a Ctrl-C mid-transfer: the handle goes
            raise
        finally:
            if callable(handler):
                signal.signal(signal.SIGINT, handler)
        if transfer.signalled is not None and callable(handler):
            try:
                response = None if failed is not None else answer_of(handle, transfer, url)
            finally:
                self.release(pooled, keep=False)
            handler(*transfer.signalled)  # Python's own raises KeyboardInterrupt
            if response is None:
                raise requests.exceptions.ConnectionError(f"the request to {masked(url)} was interrupted")
            return response
        return self.finish(pooled, failed)

    def begin(
        self,
        method: str,
        url: str,
        headers: Mapping[str, str],
        body: Optional[bytes],
        connect: Optional[float],
        end: Optional[float],
        cap: Optional[int],
        gap: Optional[float] = None,
    ) -> _Handle:
        """A handle of the pool set for one request, redirects not followed, to be
        performed, then given to ``finish``. ``connect``: seconds for the connection;
        ``end``: the ``time.monotonic()`` instant the whole transfer must end by;
        ``cap``: the most unpacked body bytes (past it ``TooLarge``); ``gap``: the
        longest wait for more of the answer once connected."""
        pooled = self._take()
        handle = pooled.curl
        pooled.transfer.reset(cap, gap)
        pooled.url = url
        pooled.method = method
        try:
            handle.setopt(pycurl.URL, url)
            proxy = self._proxy_for(url)
            if proxy != pooled.proxy:
                handle.setopt(pycurl.PROXY, proxy)
                pooled.proxy = proxy
            if headers is not pooled.headers:
                handle.setopt(pycurl.HTTPHEADER, [f"{name}: {value}" for name, value in headers.items()])
                pooled.headers = headers
            if method == "GET":
                handle.setopt(pycurl.HTTPGET, 1)
            elif method == "POST":
                handle.setopt(pycurl.POSTFIELDS, body or b"")
            else:
                handle.setopt(pycurl.CUSTOMREQUEST, method)
            connect_ms = 0 if connect is None else max(1, int(connect * 1000))
            if connect_ms != pooled.connect:
                handle.setopt(pycurl.CONNECTTIMEOUT_MS, connect_ms)
                pooled.connect = connect_ms
            left = 0 if end is None else max(1, int((end - time.monotonic()) * 1000 + 0.999))
            handle.setopt(pycurl.TIMEOUT_MS, left)
            # The progress callback, where a Ctrl-C on the main thread raises and the
            # gap is watched, only where it is needed: it runs many times a transfer.
            watched = gap is not None or _on_main()
            if watched is not pooled.watched:
                handle.setopt(pycurl.NOPROGRESS, 0 if watched else 1)
                pooled.watched = watched
        except BaseException:
            self.release(pooled, keep=False)
            raise
        return pooled

    def finish(self, pooled: _Handle, failed: Optional[BaseException]) -> requests.Response:
        """The answer of a handle ``begin`` set, once performed (``failed``: the
        ``pycurl.error`` it ended with), or its failure raised; the handle goes back to
        the pool."""
        keep = True
        try:
            if failed is not None:
                keep = failed.args[0] != pycurl.E_ABORTED_BY_CALLBACK
                raise failure_of(pooled.curl, failed, pooled.transfer, pooled.url) from None
            return answer_of(pooled.curl, pooled.transfer, pooled.url)
        finally:
            self.release(pooled, keep)

    def release(self, pooled: _Handle, keep: bool) -> None:
        if pooled.method not in ("GET", "POST"):
            pooled.curl.unsetopt(pycurl.CUSTOMREQUEST)
            pooled.method = "GET"
        if keep:
            self._give_back(pooled)
        else:
            pooled.curl.close()


def _on_main() -> bool:
    return threading.current_thread() is threading.main_thread()


def _ca_bundle(verify: Verify) -> Optional[str]:
    """The CA file or folder ``verify`` names (None: no check), found as requests finds
    it: libcurl's own default is a path of the system it was built on."""
    if verify is False:
        return None
    if isinstance(verify, str):
        return verify
    return os.environ.get("REQUESTS_CA_BUNDLE") or os.environ.get("CURL_CA_BUNDLE") or DEFAULT_CA_BUNDLE_PATH
