"""Login client of the market-data service: one token for the whole process."""

from typing import ClassVar, Optional

LOGIN_TIMEOUT: float
"""Seconds to wait for the login answer before requests gives up."""

class Client:
    """Logs in to the service and supplies the headers of data requests.

    ``Client.token`` is ``None`` while logged out, otherwise the token text that the
    service issued. It is held on the class, so every instance (and every data function,
    which makes a new ``Client()`` per call) sees the current login state.
    """

    token: ClassVar[Optional[str]]
    def login(self, username: str, password: str) -> str:
        """Log in with ``username`` and ``password`` and return the token.

        POSTs the two as JSON to ``<base_url>/api/auth/login`` (``base_url`` read from
        ``quorvex.config.config`` at call time) and stores the answer's "token" as
        ``Client.token``.

        Raises:
            ValueError: the status is not 200, or the answer carries no token text; the
                stored token is left as it was.
            requests.RequestException: the request failed (connection, time limit).
        """
    def logout(self) -> None:
        """Forget the token, for this and every other instance."""
    def _get_headers(self) -> dict[str, str]:
        """Return a new dict of request headers: ``Accept: application/json``, and
        ``Authorization: Bearer <token>`` while a token is held."""
