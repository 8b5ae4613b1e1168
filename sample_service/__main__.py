"""Command line: ``python -m sample_service [--host HOST] [--port PORT] [--latency-ms N]
[--fail-rate P] [--seed S] [--extra-tickers N] [--https]``.

Prints one line, "serving on http://HOST:PORT", once the socket listens (with
--https, "serving on https://..." and then "certificate PATH"), then serves
until interrupted (Ctrl-C or SIGTERM) and closes the socket.
"""

import argparse
import signal
import sys

from .server import DEFAULT_PORT, make_server


def _fraction(text):
    value = float(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must lie between 0 and 1, not {text}")
    return value


def _milliseconds(text):
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {text}")
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m sample_service",
        description="Serve synthetic market data for quorvex (user demo, password demo).",
    )
    parser.add_argument("--host", default="127.0.0.1", help="IPv4 address to bind (default %(default)s)")
    parser.add_argument(
        "--port",
        type=int,
        default=DEFAULT_PORT,
        help="port, 0 for any free one (default %(default)s)",
    )
    parser.add_argument(
        "--latency-ms",
        type=_milliseconds,
        default=0,
        metavar="N",
        help="delay every answer by N milliseconds, as a remote service would (default 0)",
    )
    parser.add_argument(
        "--fail-rate",
        type=_fraction,
        default=0.0,
        metavar="P",
        help="answer this share of the data requests with 503 (default 0)",
    )
    parser.add_argument(
        "--seed",
        type=int,
        default=0,
        help="seed of the failures drawn for --fail-rate (default %(default)s)",
    )
    parser.add_argument(
        "--extra-tickers",
        type=int,
        default=0,
        metavar="N",
        help="also serve tickers X001 to XN, each with the rows of a real ticker (default 0)",
    )
    parser.add_argument(
        "--https",
        action="store_true",
        help="serve HTTPS with a self-signed certificate made at start; its path is printed",
    )
    options = parser.parse_args(argv)

    server = make_server(
        options.host,
        options.port,
        latency_ms=options.latency_ms,
        fail_rate=options.fail_rate,
        seed=options.seed,
        extra_tickers=options.extra_tickers,
    )
    if options.https:
        from .tls import serve_tls

        certificate = serve_tls(server)
    # SIGTERM ends the process through the same clean path as Ctrl-C.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))
    print(f"serving on {server.base_url}", flush=True)
    if options.https:
        print(f"certificate {certificate}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
