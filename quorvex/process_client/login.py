"""Login client of the market-data service.

The token is held on the class, not on instances: every data function and the
login guard construct a fresh ``Client()`` per call, and each of those must see
the current login state. requests is imported inside ``login()`` only, so that
importing this module (as the login guard does) does not pull requests in.

How the login's request is sent is a setting of the class too (``Client.transport``):
``quorvex.configure`` hands its time limits and retries over through it, so this
module needs nothing from the modules above it.
"""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, Callable, ClassVar, Dict, Optional
from urllib.parse import urljoin

from quorvex.config import config

if TYPE_CHECKING:
    import requests

#: Seconds to wait for the login answer before requests gives up, when
#: ``Client.transport`` is not set (read at each login).
LOGIN_TIMEOUT = 30

#: Redirects within the service's own origin that a login follows (each re-POSTs the
#: login to the new address); a redirect to another origin is never followed.
LOGIN_MAX_REDIRECTS = 3

#: Sends the login: called as ``transport(url, body)`` with the JSON body as a dict, it
#: POSTs it once (or retries it, as its settings say) without following redirects and
#: returns the ``requests.Response``.
Transport = Callable[[str, Dict[str, str]], "requests.Response"]  # pragma: no mutate (a type alias)


class Client:
    """Logs in to the service and supplies the headers of data requests.

    ``Client.token`` is ``None`` while logged out, otherwise the token text
    that the service issued. It is shared by all instances.
    """

    token: ClassVar[Optional[str]] = None

    # The user each token of this process's logins was given to: the history store
    # keeps and reads rows per user (see ``user_of``).
    _users: ClassVar[Dict[str, str]] = {}

    #: How ``login`` sends its request: ``None`` sends it once with ``requests.post``
    #: and ``LOGIN_TIMEOUT``; ``quorvex.configure`` sets a transport that applies its
    #: time limits and retries (connection errors, 429, 503) and sets ``None`` back
    #: when the default is restored.
    transport: ClassVar[Optional[Transport]] = None

    def login(self, username: str, password: str) -> str:
        """Log in with ``username`` and ``password`` and return the token.

        POSTs ``{"username": ..., "password": ...}`` as JSON to
        ``<base_url>/api/auth/login``, ``base_url`` being read from
        ``quorvex.config.config`` at call time. On status 200 the "token" of
        the JSON answer is stored as ``Client.token`` and returned.

        A redirect within the same origin (scheme, host and port) is followed up to
        ``LOGIN_MAX_REDIRECTS`` times by posting the login again there; a redirect to
        another origin (also from https to http) is not followed: ``ValueError`` names
        where it pointed, and the password went nowhere but the address asked.
        Sending the password over ``http://`` to a host that is not this machine warns
        once with ``InsecureCredentialsWarning``. A ``user:password@`` in the address is
        never sent (requests would turn it into basic auth): the login goes to the
        address without it.

        Raises ``ValueError`` when the status is not 200 or the answer carries
        no token text; the stored token is then left as it was. Its message never
        quotes text of the answer that contains the password. Network errors
        are the exceptions of requests, unchanged.
        """
        url = f"{config.base_url}/api/auth/login"
        body = {"username": username, "password": password}
        send = Client.transport or _post_once
        config.warn_clear_text("password", url)
        for _ in range(LOGIN_MAX_REDIRECTS + 1):
            response = send(url, body)
            if not _is_redirect(response):
                break
            target = urljoin(url, response.headers["Location"])
            if config.origin(target) != config.origin(url):
                raise ValueError(
                    f"the login at {config.mask_url(url)} was redirected (HTTP status {response.status_code}) "
                    f"to {config.mask_url(target)}, another origin; the password was not sent there. "
                    "If that is the service's address, use it as the base URL"
                )
            url = target
        else:
            import requests

            raise requests.exceptions.TooManyRedirects(
                f"the login was redirected more than {LOGIN_MAX_REDIRECTS} times; last to {config.mask_url(url)}"
            )
        if response.status_code != 200:
            raise ValueError(
                f"Login failed with HTTP status {response.status_code}: {_error_detail(response, password)}"
            )
        try:
            token: object = response.json()["token"]
        except (ValueError, TypeError, KeyError):
            token = None  # pragma: no mutate (None and "" are both refused below)
        if not isinstance(token, str) or not token:
            raise ValueError("Login failed: the service answered status 200 without a token")
        Client._users[token] = username
        Client.token = token
        return token

    def logout(self) -> None:
        """Forget the token, for this and every other instance."""
        Client.token = None

    @staticmethod
    def user_of(token: str) -> Optional[str]:
        """The user a login of this process got ``token`` for, or ``None``."""
        return Client._users.get(token)

    @staticmethod
    def use_token(token: Optional[str]) -> None:
        """Hold ``token`` as the login of the process (``None``: logged out), as a
        program that kept the token of an earlier login puts it back."""
        Client.token = token

    def _get_headers(self) -> dict[str, str]:
        """Return a new dict of request headers.

        Always ``Accept: application/json``; ``Authorization: Bearer <token>``
        only while a token is held. Without ``quorvex.configure`` (no transport set) the
        data functions hand the address to ``requests.get`` as it stands, and requests
        sends its ``user:password@`` as basic auth in place of the token: that warns once
        per address with ``AddressCredentialsWarning``.
        """
        headers = {"Accept": "application/json"}
        if self.token is not None:
            headers["Authorization"] = f"Bearer {self.token}"
        if Client.transport is None:
            config.warn_address_credentials(config.base_url, stacklevel=3)
        return headers


def _post_once(url: str, body: Dict[str, str]) -> requests.Response:
    import requests

    # Without its user information, which requests would send as basic auth.
    return requests.post(config.without_userinfo(url), json=body, timeout=LOGIN_TIMEOUT, allow_redirects=False)


def _is_redirect(response: Any) -> bool:
    return response.status_code in (301, 302, 303, 307, 308) and bool(response.headers.get("Location"))


def _error_detail(response: requests.Response, password: str = "") -> str:  # pragma: no mutate (always given)
    """Return a short text explaining a refused login answer.

    The "error" member of a JSON object body if there is one, otherwise the
    body text cut to 200 characters, or the reason phrase of an empty body. A text
    that contains the password (as a service that echoes the request sends it) is
    left out for the next one.
    """
    # The password as it stands and as JSON spells it, quoted once, twice or three
    # times (an echo of the request inside a message inside a JSON answer).
    spellings = {password}
    for ascii_only in (True, False):
        spelled = password
        for _ in range(3):
            spelled = json.dumps(spelled, ensure_ascii=ascii_only)[1:-1]
            spellings.add(spelled)
    spellings.discard("")

    def safe(text: str) -> bool:
        return not any(spelling in text for spelling in spellings)

    try:
        body = response.json()
    except ValueError:
        body = None  # pragma: no mutate (only a dict is read)
    if isinstance(body, dict) and isinstance(body.get("error"), str):
        # An "error" that quotes the password: the body that holds it is no better.
        return body["error"] if safe(body["error"]) else _reason(response, safe)
    # Checked whole: a cut could end inside the password.
    text = response.text.strip()
    if text and safe(text):
        return text[:200]
    return _reason(response, safe)


def _reason(response: requests.Response, safe: Callable[[str], bool]) -> str:
    reason = response.reason if isinstance(response.reason, str) else ""
    return reason if reason and safe(reason) else "no details"
