"""A small stand-in for the market-data web service, for tests and the demo.

It serves deterministic synthetic data for a few tickers (see ``data.TICKERS``)
on the endpoints the quorvex data functions call, behind a bearer-token login.

    from sample_service import make_server
    with make_server(port=0) as server:      # serves in a background thread
        print(server.base_url)

Or from a shell: ``python -m sample_service [--host 127.0.0.1] [--port 8765]``.
"""

from .server import DEFAULT_PORT, DEFAULT_USERS, SampleServer, make_server

__all__ = ["DEFAULT_PORT", "DEFAULT_USERS", "SampleServer", "make_server"]
