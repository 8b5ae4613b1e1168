"""The command's session with the service: its time limits, retries, rate and history
store, the login from the environment, and the secrets (password, token) that no
output may show."""

from __future__ import annotations

import argparse
import base64
import http
import os
import re
from typing import List, Optional, Union

from quorvex import service
from quorvex.cli.errors import Failure, one_line
from quorvex.process_client.login import Client
from quorvex.service import PASSWORD_VARIABLE, USERNAME_VARIABLE

#: Pause factor of the retries: the n-th retry waits BACKOFF * 2 ** (n - 1) seconds.
BACKOFF = 0.5


def check_address() -> str:
    """The service address, refused in the command's words when it cannot be one; every
    data module is set to it, so that what an error line names is what was asked."""
    address = service.base_url()
    try:
        service.set_base_url(address)
    except (TypeError, ValueError) as error:
        raise Failure(f"QUORVEX_BASE_URL: {error}") from None
    return address


class Session:
    """Applies the command's time limits, retries and rate (to the data requests and,
    through ``configure``, to the login) and its history store (the user's, as
    ``configure(store=True)`` finds it), and logs in from the environment. On leaving, it puts
    back the login it found and the default of ``configure()``, for callers of
    ``main()`` inside a program. The token it logs in with (or finds) is added to
    ``secrets``, which no output shows."""

    def __init__(self, options: argparse.Namespace) -> None:
        self.timeout: float = options.timeout
        self.retries: int = options.retries
        self.deadline: float = options.deadline
        self.secrets: Secrets = options.secrets
        # The history store and the rate (--no-store, --refresh, --rate).
        self.store: bool = options.store
        self.refresh: bool = options.refresh
        self.rate: Optional[float] = options.rate
        self.verify: Union[bool, str] = getattr(options, "ca_bundle", None) or True

    def __enter__(self) -> "Session":
        from quorvex.remote import configure, configured

        self._token = Client.token
        configure(
            timeout=self.timeout,
            retries=self.retries,
            backoff=BACKOFF,
            deadline=self.deadline,
            store=self.store,
            rate=self.rate,
            verify=self.verify,
        )
        store = getattr(configured(), "store", None)
        if store is not None:
            store.refresh = self.refresh
        self.secrets.add(self._token)
        try:
            self._log_in()
        except BaseException:
            self.__exit__()
            raise
        self.secrets.add(Client.token)
        return self

    def __exit__(self, *exc_info: object) -> None:
        from quorvex.remote import configure

        configure()
        Client.use_token(self._token)

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
            service.login(username, password)
        except ValueError as error:  # a refused login; network errors pass on
            # Not chained: the refusal's text, and with it an answer that may quote the
            # submitted password, stays out of the --debug traceback too.
            raise Failure(f"{login_refusal(error)}{login_hint(error)}") from None


def known_secrets() -> "Secrets":
    """The secrets known before the login: the password, and the credentials of the
    service address, also in the form requests sends them in (HTTP basic auth), which
    a refusal may quote back."""
    from urllib.parse import unquote, urlsplit

    secrets = Secrets()
    secrets.add(os.environ.get(PASSWORD_VARIABLE))
    try:
        address = urlsplit(service.base_url())
        user, password = address.username, address.password
    except ValueError:
        user = password = None
    if password:
        for text in (password, unquote(password)):
            secrets.add(text)
            credentials = f"{unquote(user or '')}:{text}".encode("latin-1", "replace")
            secrets.add(base64.b64encode(credentials).decode())
    return secrets


def login_refusal(error: ValueError) -> str:
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
        return one_line(str(error))
    if not isinstance(reason, str) or not reason:
        try:
            reason = http.HTTPStatus(status).phrase
        except ValueError:
            reason = ""
    return f"the service refused the login with HTTP status {status}" + (f" {reason}" if reason else "")


#: Login statuses that mean the address does not lead to the service's login: no such
#: path (404), a path that takes no POST (405), a server that knows no POST at all (501).
NOT_THE_LOGIN = (404, 405, 501)


def login_hint(error: ValueError) -> str:
    """What to check after a refused login, by its status: the address when nothing
    there takes a login, the credentials when they were refused, nothing to change on
    this side when the service failed (5xx, 429)."""
    from quorvex.cli.errors import _service

    response = getattr(error, "response", None)
    status = getattr(response, "status_code", None)
    if not isinstance(status, int):
        match = re.match(r"Login failed with HTTP status (\d{3})\b", str(error))
        status = int(match[1]) if match else None
    if status in NOT_THE_LOGIN:
        return f" (check QUORVEX_BASE_URL: {_service()} is not the service's root address, or not the service)"
    if status == 429 or (isinstance(status, int) and status >= 500):
        return " (the service could not answer: try again later, or --retries N)"
    if status is None or status < 400:
        return ""  # the login's other refusals say what went wrong themselves
    return f" (check {USERNAME_VARIABLE} and {PASSWORD_VARIABLE})"


class Secrets:
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
