"""A whole market through download: the bulk path against the per-ticker path, in one run.

    python bench/bulk.py [--tickers 1600] [--workers 64] [--latency-ms 50] [--https] [--check]

A light local service (another process, asyncio, the answers made once before the run)
answers every price-bar request after the latency with daily rows of the range asked:
3 months and 5 years. With --https it also answers over TLS (a self-signed certificate
made by openssl), and every case runs over HTTPS first, then over plain HTTP. For each
scheme, range and path the client's CPU time (all its threads), its wall time and the
ratio of that to the network limit, ceil(tickers / workers) x latency, are printed.
Targets of the bulk path: 3 months at most 0.25 ms of client CPU per ticker and a wall
time at most 1.2 x the network limit, 5 years at most 0.7 ms. --check exits with status 1
when one is missed.
"""

import argparse
import asyncio
import datetime
import json
import math
import os
import pathlib
import subprocess
import sys
import time
import urllib.parse

ROOT = pathlib.Path(__file__).resolve().parent.parent
RANGES = {"3 months": ("2024-01-02", "2024-03-29"), "5 years": ("2019-04-01", "2024-03-29")}
#: Per range: the most client CPU a ticker (ms) and wall time (x the network limit).
TARGETS = {"3 months": (0.25, 1.2), "5 years": (0.7, None)}


def _body(first: str, last: str) -> bytes:
    day, end, rows, price = datetime.date.fromisoformat(first), datetime.date.fromisoformat(last), [], 25_000
    while day <= end:
        if day.weekday() < 5:
            price += (day.toordinal() * 7919) % 401 - 200
            rows.append(
                {
                    "DateTime": day.isoformat(),
                    "Open": price,
                    "High": price + 150,
                    "Low": price - 150,
                    "Close": price + 50,
                    "Volume": 100_000 + day.toordinal() % 9_973,
                }
            )
        day += datetime.timedelta(days=1)
    return json.dumps(rows).encode()


def serve(latency: float, tls: "list[str]") -> None:
    """The light service: prints its port (and with ``tls``, a certificate and its key,
    the port of its TLS listener), then answers until stdin closes."""
    bodies = {first: _body(first, last) for first, last in RANGES.values()}

    async def answer(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                target = head.split(b" ", 2)[1].decode()
                query = urllib.parse.parse_qs(urllib.parse.urlsplit(target).query)
                body = bodies.get(query.get("fromDate", [""])[0], b"[]")
                await asyncio.sleep(latency)
                writer.write(
                    b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % len(body)
                    + body
                )
                await writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError, asyncio.CancelledError):
            writer.close()  # the client went, or the service is stopping

    async def main() -> None:
        server = await asyncio.start_server(answer, "127.0.0.1", 0, backlog=512)
        ports = [server.sockets[0].getsockname()[1]]
        if tls:
            import ssl

            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)
            secure = await asyncio.start_server(answer, "127.0.0.1", 0, backlog=512, ssl=context)
            ports.append(secure.sockets[0].getsockname()[1])
        print(*ports, flush=True)
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)

    asyncio.run(main())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tickers", type=int, default=1600)
    parser.add_argument("--workers", type=int, default=64)
    parser.add_argument("--latency-ms", type=float, default=50)
    parser.add_argument("--https", action="store_true", help="run every case over HTTPS too, first")
    parser.add_argument("--check", action="store_true", help="exit 1 when a target is missed")
    parser.add_argument("--serve", nargs="*", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.serve is not None:
        serve(options.latency_ms / 1000, options.serve)
        return 0

    # The installed package, not the sources beside this file (they lack the compiled modules).
    sys.path.append(str(ROOT))
    import quorvex
    from quorvex.process_client.login import Client

    tls: "list[str]" = []
    if options.https:
        import tempfile

        sys.path.insert(0, str(ROOT / "sample_service"))
        from tls import make_certificate

        tls = list(make_certificate(tempfile.mkdtemp(prefix="quorvex-bench-tls-")))
    service = subprocess.Popen(
        [sys.executable, __file__, "--latency-ms", str(options.latency_ms), "--serve", *tls],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        ports = service.stdout.readline().split()
        addresses = [(f"https://127.0.0.1:{ports[1]}", tls[0])] if tls else []
        addresses.append((f"http://127.0.0.1:{ports[0]}", True))
        Client.token = "bench"
        tickers = [f"T{n:04d}" for n in range(options.tickers)]
        limit = math.ceil(options.tickers / options.workers) * options.latency_ms / 1000
        print(
            f"{options.tickers} tickers of daily price bars, {options.workers} workers, latency "
            f"{options.latency_ms:g} ms: network limit {limit:.2f} s; CPython {sys.version.split()[0]}, "
            f"pandas {__import__('pandas').__version__}"
        )
        met = True
        for address, verify in addresses:
            quorvex.set_base_url(address)
            quorvex.configure(timeout=60, verify=verify)
            scheme = address.split(":")[0]
            for name, (first, last) in RANGES.items():
                for bulk in (True, False):
                    quorvex.download(
                        "pricebars",
                        tickers[: options.workers],
                        first,
                        last,
                        workers=options.workers,
                        progress=False,
                        bulk=bulk,
                    )  # warm: connections (one per worker), imports
                    cpu, wall = time.process_time(), time.perf_counter()
                    table = quorvex.download(
                        "pricebars", tickers, first, last, workers=options.workers, progress=False, bulk=bulk
                    )
                    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
                    per_ticker = cpu / options.tickers * 1000
                    print(
                        f"  {scheme:<5} {name:<9} {'bulk' if bulk else 'per-ticker':<10} {len(table):>9} rows  "
                        f"CPU {per_ticker:6.2f} ms/ticker  wall {wall:6.2f} s  "
                        f"{options.tickers / wall:7.0f} tickers/s  {wall / limit:5.2f} x limit"
                    )
                    cpu_target, wall_target = TARGETS[name]
                    if bulk:
                        met = met and per_ticker <= cpu_target and (wall_target is None or wall <= wall_target * limit)
        print(
            "targets of the bulk path (3 months: <= 0.25 ms CPU per ticker, <= 1.2 x limit; 5 years: <= 0.7 ms) "
            + ("met" if met else "MISSED")
        )
    finally:
        quorvex.configure()
        service.stdin.close()
        service.wait(timeout=10)
    return 0 if met or not options.check else 1


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    sys.exit(main())
