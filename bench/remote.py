"""Many tickers from a slow service: a plain loop of get_pricebars against
configure() + download(workers=8).

    python bench/remote.py [--tickers 50] [--latency-ms 50] [--workers 8] [--repeat 3] [--check]

Runs with the installed quorvex. The sample service runs in a child process with the
given latency and enough load-test tickers (X001, ...). Each measurement is repeated
and its best time kept. The limit the download can reach is the waiting it cannot
overlap, ceil(tickers / workers) answers of `latency` each, or the local work of all
the calls if that is larger (pandas holds the interpreter lock, so that work runs one
call at a time); the local work is measured as the same calls in a loop against a
service without latency. Target: the download within 1.5 times the limit and at least
5 times faster than the plain loop; --check exits with status 1 when it is missed.
"""

import argparse
import math
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
FROM, TO = "2024-01-01", "2024-03-31"


def start_service(latency_ms, tickers):
    """Start the sample service; return (process, base URL)."""
    process = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "sample_service",
            "--port",
            "0",
            "--latency-ms",
            str(latency_ms),
            "--extra-tickers",
            str(tickers),
        ],
        cwd=ROOT,
        stdout=subprocess.PIPE,
        text=True,
    )
    line = process.stdout.readline()
    if not line.startswith("serving on "):
        process.kill()
        raise SystemExit(f"the sample service did not start: {line!r}")
    return process, line.split()[-1]


def best(repeat, run):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return min(times)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tickers", type=int, default=50)
    parser.add_argument("--latency-ms", type=float, default=50)
    parser.add_argument("--workers", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--check", action="store_true", help="exit 1 when the target is missed")
    options = parser.parse_args(argv)

    slow, slow_url = start_service(options.latency_ms, options.tickers)
    fast, fast_url = start_service(0, options.tickers)
    try:
        # The service address is read at the first import of quorvex.
        os.environ["QUORVEX_BASE_URL"] = slow_url
        import quorvex
        from quorvex.config import config
        from quorvex.process_client.login import Client
        from quorvex.process_stock import pricebars

        tickers = [f"X{n:03d}" for n in range(1, options.tickers + 1)]
        Client().login("demo", "demo")  # tokens of the two services are separate
        slow_token = Client.token

        def loop():
            for ticker in tickers:
                quorvex.get_pricebars(ticker, FROM, TO, "D")

        def download():
            quorvex.download("pricebars", tickers, FROM, TO, workers=options.workers, progress=False)

        # Local work: the calls one after another against the service without latency,
        # through one kept-alive connection.
        pricebars.base_url = config.base_url = fast_url
        Client().login("demo", "demo")
        quorvex.configure(timeout=30)
        loop()  # warm-up: the service builds each history once
        local = best(options.repeat, loop)

        pricebars.base_url = slow_url
        Client.token = slow_token
        quorvex.configure()
        plain = best(options.repeat, loop)
        quorvex.configure(timeout=30)
        download()  # warm-up: opens the pool's connections
        parallel = best(options.repeat, download)
        quorvex.configure()
    finally:
        for process in (slow, fast):
            process.terminate()
            process.wait(10)

    waiting = math.ceil(options.tickers / options.workers) * options.latency_ms / 1000
    limit = max(waiting, local)
    met = parallel <= 1.5 * limit and plain >= 5 * parallel
    print(f"{options.tickers} tickers of price bars, {options.latency_ms:g} ms latency, best of {options.repeat}")
    print(f"plain loop of get_pricebars:         {plain * 1000:8.1f} ms")
    print(f"configure() + download(workers={options.workers}): {parallel * 1000:8.1f} ms")
    print(f"speed-up over the loop:              {plain / parallel:8.1f}x   (target >= 5x)")
    print(
        f"limit: max(waiting {waiting * 1000:.0f} ms, local work {local * 1000:.0f} ms) = "
        f"{limit * 1000:.0f} ms; download / limit = {parallel / limit:.2f}   (target <= 1.5)"
    )
    print(f"target {'met' if met else 'MISSED'}")
    return 1 if options.check and not met else 0


if __name__ == "__main__":
    sys.exit(main())
