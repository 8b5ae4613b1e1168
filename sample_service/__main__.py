"""Command line: ``python -m sample_service [--host HOST] [--port PORT]``.

Prints one line, "serving on http://HOST:PORT", once the socket listens, then
serves until interrupted (Ctrl-C or SIGTERM) and closes the socket.
"""

import argparse
import signal
import sys

from .server import DEFAULT_PORT, make_server


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m sample_service",
        description="Serve synthetic market data for quorvex (user demo, password demo).",
    )
    parser.add_argument(
        "--host", default="127.0.0.1", help="IPv4 address to bind (default %(default)s)"
    )
    parser.add_argument(
        "--port", type=int, default=DEFAULT_PORT,
        help="port, 0 for any free one (default %(default)s)",
    )
    options = parser.parse_args(argv)

    server = make_server(options.host, options.port)
    # SIGTERM ends the process through the same clean path as Ctrl-C.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))
    print(f"serving on {server.base_url}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
