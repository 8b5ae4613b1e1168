"""Root address of the market-data service."""

DEFAULT_BASE_URL: str
"""Address of the bundled sample service with its default settings."""

base_url: str
"""The service root, without a trailing slash: ``QUORVEX_BASE_URL`` when it was set (and not
empty) at the first import of quorvex, otherwise ``DEFAULT_BASE_URL``. Endpoint paths are
appended to it as it stands."""
