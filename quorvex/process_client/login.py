"""Login client of the market-data service.

The token is held on the class, not on instances: every data function and the
login guard construct a fresh ``Client()`` per call, and each of those must see
the current login state. requests is imported inside ``login()`` only, so that
importing this module (as the login guard does) does not pull requests in.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, ClassVar, Optional

from quorvex.config import config

if TYPE_CHECKING:
    import requests

#: Seconds to wait for the login answer before requests gives up.
LOGIN_TIMEOUT = 30


class Client:
    """Logs in to the service and supplies the headers of data requests.

    ``Client.token`` is ``None`` while logged out, otherwise the token text
    that the service issued. It is shared by all instances.
    """

    token: ClassVar[Optional[str]] = None

    def login(self, username: str, password: str) -> str:
        """Log in with ``username`` and ``password`` and return the token.

        POSTs ``{"username": ..., "password": ...}`` as JSON to
        ``<base_url>/api/auth/login``, ``base_url`` being read from
        ``quorvex.config.config`` at call time. On status 200 the "token" of
        the JSON answer is stored as ``Client.token`` and returned.

        Raises ``ValueError`` when the status is not 200 or the answer carries
        no token text; the stored token is then left as it was. Network errors
        are the exceptions of requests, unchanged.
        """
        import requests

        response = requests.post(
            f"{config.base_url}/api/auth/login",
            json={"username": username, "password": password},
            timeout=LOGIN_TIMEOUT,
        )
        if response.status_code != 200:
            raise ValueError(f"Login failed with HTTP status {response.status_code}: {_error_detail(response)}")
        try:
            token: object = response.json()["token"]
        except (ValueError, TypeError, KeyError):
            token = None
        if not isinstance(token, str) or not token:
            raise ValueError("Login failed: the service answered status 200 without a token")
        Client.token = token
        return token

    def logout(self) -> None:
        """Forget the token, for this and every other instance."""
        Client.token = None

    def _get_headers(self) -> dict[str, str]:
        """Return a new dict of request headers.

        Always ``Accept: application/json``; ``Authorization: Bearer <token>``
        only while a token is held.
        """
        headers = {"Accept": "application/json"}
        if self.token is not None:
            headers["Authorization"] = f"Bearer {self.token}"
        return headers


def _error_detail(response: requests.Response) -> str:
    """Return a short text explaining a refused login answer.

    The "error" member of a JSON object body if there is one, otherwise the
    body text cut to 200 characters, or the reason phrase of an empty body.
    """
    try:
        body = response.json()
    except ValueError:
        body = None
    if isinstance(body, dict) and isinstance(body.get("error"), str):
        return body["error"]
    text = response.text.strip()
    return text[:200] if text else (response.reason or "no details")
