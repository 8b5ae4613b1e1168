"""Login client of the market-data service: one token for the whole process."""

from typing import Callable, ClassVar, Dict, Optional

import requests

LOGIN_TIMEOUT: float
"""Seconds to wait for the login answer before requests gives up, when ``Client.transport``
is not set."""

LOGIN_MAX_REDIRECTS: int
"""Redirects within the service's own origin that a login follows."""

Transport = Callable[[str, Dict[str, str]], requests.Response]
"""Sends the login: ``transport(url, body)`` POSTs the JSON body without following
redirects and returns the answer."""

class Client:
    """Logs in to the service and supplies the headers of data requests.

    ``Client.token`` is ``None`` while logged out, otherwise the token text that the
    service issued. It is held on the class, so every instance (and every data function,
    which makes a new ``Client()`` per call) sees the current login state.
    """

    token: ClassVar[Optional[str]]
    transport: ClassVar[Optional[Transport]]
    """How ``login`` sends its request: ``None`` sends it once with ``requests.post`` and
    ``LOGIN_TIMEOUT``; ``quorvex.configure`` sets one with its time limits and retries."""
    def login(self, username: str, password: str) -> str:
        """Log in with ``username`` and ``password`` and return the token.

        POSTs the two as JSON to ``<base_url>/api/auth/login`` (``base_url`` read from
        ``quorvex.config.config`` at call time) and stores the answer's "token" as
        ``Client.token``. A redirect within the same origin is followed (the login posted
        again there) up to ``LOGIN_MAX_REDIRECTS`` times; one to another origin is not.

        Raises:
            ValueError: the status is not 200, or the answer carries no token text, or it
                redirects to another origin; the stored token is left as it was. The
                message never quotes text of the answer that contains the password.
            requests.RequestException: the request failed (connection, time limit).
        """
    def logout(self) -> None:
        """Forget the token, for this and every other instance."""
    @staticmethod
    def user_of(token: str) -> Optional[str]:
        """The user a login of this process got ``token`` for, or ``None``."""
    @staticmethod
    def use_token(token: Optional[str]) -> None:
        """Hold ``token`` as the login of the process (``None``: logged out)."""
    def _get_headers(self) -> dict[str, str]:
        """Return a new dict of request headers: ``Accept: application/json``, and
        ``Authorization: Bearer <token>`` while a token is held."""
