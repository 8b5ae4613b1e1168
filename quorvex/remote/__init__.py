"""Using a real, remote service: time limits, retries, connection reuse, many tickers.

Nothing here changes how the data functions behave until it is asked to. By default
each data module's ``requests`` global is the ``requests`` module, and every call
opens its own connection and waits without a time limit. ``configure`` rebinds that
global in the five data modules to a ``ConfiguredRequests`` object whose ``get``
sends the request through quorvex's own transport over libcurl (connections are kept
alive and reused) with a time limit and retries; ``configure()`` puts the
``requests`` module back. ``download`` calls one data function for many tickers on a
pool of threads and gathers the tables into one.

The package by job: ``policy`` (the settings' bounds, pauses, Retry-After and the loop
of attempts), ``curl`` and ``transport`` (libcurl, and requests' terms on top of it),
``attempt`` (one attempt, logged), ``answers`` (checked answers, bodies read with the
cap, answers of the bulk path and of the store), ``client`` (``ConfiguredRequests``),
``configuration`` (``configure``) and ``downloading`` (``download``).
"""

from quorvex import datasets as _registry
from quorvex.config.config import AddressCredentialsWarning, InsecureCredentialsWarning, mask_url
from quorvex.remote.answers import CHUNK, CheckedResponse, MalformedAnswer, hand_over
from quorvex.remote.client import ConfiguredRequests
from quorvex.remote.configuration import configure, configured
from quorvex.remote.downloading import DownloadError, download
from quorvex.remote.policy import (
    DEFAULT_MAX_BYTES,
    LOGIN_RETRY_STATUSES,
    MAX_RETRY_AFTER,
    MESSAGE_BODY_LIMIT,
    POOL_SIZE,
    RETRY_STATUSES,
    DeadlineExceeded,
    ResponseTooLarge,
    Timeout,
    attempt_limit,
    call_bound,
)
from quorvex.store import DEFAULT_RECHECK_DAYS, StoreWarning

#: The data sets ``download`` knows, by the name a user gives (the registry's table).
DATASETS = _registry.DATASETS

__all__ = [
    "AddressCredentialsWarning",
    "CheckedResponse",
    "ConfiguredRequests",
    "DATASETS",
    "DEFAULT_MAX_BYTES",
    "DEFAULT_RECHECK_DAYS",
    "DeadlineExceeded",
    "CHUNK",
    "DownloadError",
    "InsecureCredentialsWarning",
    "LOGIN_RETRY_STATUSES",
    "MAX_RETRY_AFTER",
    "MESSAGE_BODY_LIMIT",
    "MalformedAnswer",
    "POOL_SIZE",
    "RETRY_STATUSES",
    "ResponseTooLarge",
    "StoreWarning",
    "Timeout",
    "attempt_limit",
    "call_bound",
    "configure",
    "configured",
    "download",
    "hand_over",
    "mask_url",
]
