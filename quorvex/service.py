"""The service a program talks to: its address and the login, set in one place.

``set_base_url`` changes the address for every data module, whether it is imported
before or after (each module keeps its own ``base_url`` global, copied from
``quorvex.config.config`` when it is imported; this rebinds them all and the config's).
``login`` logs in with the given credentials or those of the environment. Both refuse
an address without ``http://`` or ``https://`` in one line, before anything is sent.
"""

from __future__ import annotations

import os
from typing import Optional

from quorvex.config import config
from quorvex.datasets import rebind

USERNAME_VARIABLE = "QUORVEX_USERNAME"
PASSWORD_VARIABLE = "QUORVEX_PASSWORD"

__all__ = ["base_url", "check_base_url", "login", "logout", "set_base_url"]


def check_base_url(url: object) -> str:
    """``url`` when it is a text that starts with ``http://`` or ``https://``;
    otherwise ``ValueError`` saying so (the address shown without its password)."""
    if not isinstance(url, str):
        raise TypeError(f"the service address must be a str, not {type(url).__name__}")
    scheme = url.partition("://")[0].lower() if "://" in url else ""
    if scheme not in ("http", "https"):
        shown = config.mask_url(url)
        raise ValueError(
            f"the service address {shown!r} does not start with http:// or https:// (for example 'http://{shown}')"
            if "://" not in url
            else f"the service address {shown!r} does not start with http:// or https://"
        )
    return url


def base_url() -> str:
    """The address every data module and the login use (the config's)."""
    return str(config.base_url)


def set_base_url(url: str) -> None:
    """Send every request from now on to ``url``, the service's root (no trailing slash
    is added or removed): the login, the data modules already imported and those
    imported later. ``ValueError`` for an address without ``http://`` or ``https://``."""
    url = check_base_url(url)
    config.base_url = url
    rebind("base_url", url)


def login(username: Optional[str] = None, password: Optional[str] = None) -> str:
    """Log in to the service and return the token, which every data function then sends.

    Without arguments the credentials come from the environment variables
    QUORVEX_USERNAME and QUORVEX_PASSWORD. ``ValueError`` when neither gives both, when
    the address has no ``http://`` or ``https://``, or when the service refuses the
    login; network errors are those of requests. The time limit and retries are those
    of ``quorvex.configure`` (without it: 30 seconds, no retry)."""
    from quorvex.process_client.login import Client

    username = username if username is not None else os.environ.get(USERNAME_VARIABLE)
    password = password if password is not None else os.environ.get(PASSWORD_VARIABLE)
    if not username or not password:
        missing = [
            f"{what} (or {variable})"
            for what, variable, value in (
                ("username", USERNAME_VARIABLE, username),
                ("password", PASSWORD_VARIABLE, password),
            )
            if not value
        ]
        raise ValueError(f"no login: give {' and '.join(missing)}")
    check_base_url(config.base_url)
    return Client().login(username, password)


def logout() -> None:
    """Forget the token."""
    from quorvex.process_client.login import Client

    Client().logout()
