"""Root address of the market-data service.

``base_url`` is read once, when this module is first imported: the environment
variable ``QUORVEX_BASE_URL`` if it is set and not empty, otherwise the default
address of the bundled sample service. The value is used as-is, with the
endpoint path (which begins with "/") appended directly, so it should name the
service root without a trailing slash; nothing here adds or removes one.
"""

import os

#: Address of the sample service when it runs with its default settings.
DEFAULT_BASE_URL: str = "http://127.0.0.1:8765"

# An empty variable counts as unset: an empty base address would turn every
# endpoint into a relative URL that requests cannot send.
base_url: str = os.environ.get("QUORVEX_BASE_URL") or DEFAULT_BASE_URL
