"""The history store on a repeated run: 50 tickers x 2 years of daily price bars from a
slow service, fetched three times through configure(store=...) + download.

    python bench/store.py [--tickers 50] [--latency-ms 50] [--workers 8] [--check]

1. first run: the store is empty, every ticker is asked for;
2. second run of the same closed range: everything is kept, nothing is asked;
3. the range extended by one day: one request per ticker, for that day.

The sample service runs in this process (it counts the requests it answers) with the
given latency and load-test tickers X001, ... . Target: the second run sends 0 requests
and is at least 20 times faster than the first; the extended run sends one request per
ticker. --check exits with status 1 when it is missed.

The second run reads the kept rows of each ticker and, through download's bulk path,
decodes them into typed columns and makes one table for all tickers, so it costs about a
millisecond per ticker whatever the number of workers.
"""

import argparse
import pathlib
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
FROM, TO, NEXT_DAY = "2022-01-03", "2023-12-28", "2023-12-29"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tickers", type=int, default=50)
    parser.add_argument("--latency-ms", type=float, default=50)
    parser.add_argument("--workers", type=int, default=8)
    parser.add_argument("--check", action="store_true", help="exit 1 when the target is missed")
    options = parser.parse_args()

    # After the installed package: the sources beside this file lack the compiled modules;
    # the sample service is found here.
    sys.path.append(str(ROOT))
    import quorvex
    from quorvex.process_client.login import Client
    from sample_service import make_server

    tickers = [f"X{n:03d}" for n in range(1, options.tickers + 1)]
    service = make_server(port=0, latency_ms=options.latency_ms, extra_tickers=options.tickers)
    with service as server, tempfile.TemporaryDirectory() as folder:
        Client.token = server.issue_token()
        quorvex.set_base_url(server.base_url)
        quorvex.configure(timeout=30, store=pathlib.Path(folder) / "history.sqlite3")
        results = []
        for name, to in (("first run", TO), ("same range", TO), ("one day more", NEXT_DAY)):
            before = server.requests
            started = time.perf_counter()
            table = quorvex.download("pricebars", tickers, FROM, to, workers=options.workers, progress=False)
            elapsed = time.perf_counter() - started
            results.append((name, server.requests - before, elapsed, len(table)))
        quorvex.configure()

    print(f"{options.tickers} tickers, {FROM} to {TO}, latency {options.latency_ms:g} ms, {options.workers} workers")
    for name, requests, elapsed, rows in results:
        print(f"  {name:<13} {requests:4d} requests  {elapsed * 1000:8.1f} ms  {rows} rows")
    (_, _, first, _), (_, again, second, _), (_, extended, _, _) = results
    speedup = first / second
    print(f"  second run {speedup:.1f}x faster than the first (target 20x), extended run {extended} requests")
    met = again == 0 and speedup >= 20 and extended == options.tickers
    print("target met" if met else "target MISSED")
    return 0 if met or not options.check else 1


if __name__ == "__main__":
    sys.exit(main())
