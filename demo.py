"""Tour of quorvex against the bundled sample service.

Starts the sample service in this process on a free port, points quorvex at
it, logs in as demo/demo and prints a table from each data function. A data
module that has not been built is reported and the tour goes on, but it ends with
status 1, as it does when any section fails. Then it runs the
``quorvex`` command: a CSV export of two tickers and a chart, written to
build/demo/FPT-weekly.png.

    python demo.py
"""

import importlib
import os
import subprocess
import sys

# Python put this file's folder, the source tree, first on sys.path. The source tree
# holds quorvex's sources, not its built modules, so quorvex must come from the
# installed package: drop that entry before anything imports quorvex. The sample
# service imports quorvex's registry of data sets, so it is loaded only once the
# installed quorvex is the one in sys.modules.
_here = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [entry for entry in sys.path if os.path.abspath(entry or os.curdir) != _here]
import quorvex.datasets  # noqa: E402, F401  (the installed package, before the source tree returns)

sys.path.insert(0, _here)
try:
    from sample_service import make_server  # noqa: E402
finally:
    sys.path.remove(_here)

#: Titles of the sections that did not show what they should.
failed = []


def heading(text):
    print()
    print(f"== {text}")


def load(module_name, attribute):
    """Return ``attribute`` of ``module_name``, or None if the module is not built."""
    try:
        return getattr(importlib.import_module(module_name), attribute)
    except ImportError:
        return None


def show(title, function, *args, rows=None):
    """Print ``title`` and the table ``function(*args)`` (its first ``rows`` rows).

    Prints "(module not built)" for a missing function, and the error instead
    of the table when the call raises, so that the tour goes on; either counts as a
    failed section.
    """
    heading(title)
    if function is None:
        print("(module not built)")
        failed.append(title)
        return
    try:
        table = function(*args)
    except Exception as error:
        print(f"({type(error).__name__}: {error})")
        failed.append(title)
        return
    print(table if rows is None else table.head(rows))


def main():
    with make_server(port=0) as server:
        # quorvex reads the address when its configuration module is first
        # imported, so it must be set before any quorvex import.
        os.environ["QUORVEX_BASE_URL"] = server.base_url
        import pandas as pd

        from quorvex.process_client.login import Client

        pd.set_option("display.width", 120)
        # Wrap wide tables instead of hiding their middle columns.
        pd.set_option("display.max_columns", None)
        # pandas 2.2 renamed the month-end rule "M" to "ME" and warns on "M".
        pandas_version = tuple(int(part) for part in pd.__version__.split(".")[:2])
        month_end = "ME" if pandas_version >= (2, 2) else "M"
        print(f"sample service on {server.base_url}")

        heading("login guard: require_session")
        require_session = load("quorvex.config.require_session", "require_session")
        if require_session is None:
            print("(module not built)")
            failed.append("login guard")
        else:

            @require_session
            def greet(name):
                """Return a greeting; runs only while logged in."""
                return f"hello, {name}"

            try:
                greet("demo")
            except Exception as refusal:
                print(f"before login: {type(refusal).__name__}: {refusal}")
            else:
                print("before login: greet('demo') ran, but the guard should have refused it")
                failed.append("login guard")

        token = Client().login("demo", "demo")
        print(f"logged in as demo (token {token[:8]}...)")
        if require_session is not None:
            print(f"after login: greet('demo') returned {greet('demo')!r}")

        get_pricebars = load("quorvex.process_stock.pricebars", "get_pricebars")
        show(
            "get_pricebars('FPT', '2024-01-01', '2024-03-31', 'D').head()",
            get_pricebars,
            "FPT",
            "2024-01-01",
            "2024-03-31",
            "D",
            rows=5,
        )
        show("get_pricebars, weekly ('W')", get_pricebars, "FPT", "2024-01-01", "2024-03-31", "W")

        get_foreign = load("quorvex.process_stock.foreign", "get_foreign")
        show(
            "get_foreign, daily, values in VND ('D', unit 1)",
            get_foreign,
            "FPT",
            "2024-01-01",
            "2024-03-31",
            "D",
            1,
            rows=5,
        )
        show(
            "get_foreign, weekly, values in billions of VND ('W', unit 1e9)",
            get_foreign,
            "FPT",
            "2024-01-01",
            "2024-03-31",
            "W",
            1e9,
        )

        get_dealer = load("quorvex.process_stock.dealerDesk", "get_dealerDesk")
        show("get_dealerDesk, daily ('D', unit 1)", get_dealer, "VCB", "2024-01-01", "2024-03-31", "D", 1, rows=5)
        show(
            f"get_dealerDesk, monthly, in millions of VND ('{month_end}', unit 1e6)",
            get_dealer,
            "VCB",
            "2024-01-01",
            "2024-06-30",
            month_end,
            1e6,
        )

        get_match_book = load("quorvex.process_stock.matchBook", "get_match_book")
        show(
            "get_match_book, daily ('D'); days with no order data show zeros",
            get_match_book,
            "FPT",
            "2024-01-15",
            "2024-03-31",
            "D",
            rows=10,
        )
        show(
            "get_match_book, weekly ('W'); weeks with only zeros are left out",
            get_match_book,
            "FPT",
            "2024-01-01",
            "2024-03-31",
            "W",
        )

        get_dividend = load("quorvex.process_stock.dividend", "get_dividend")
        show(
            "get_dividend('FPT', '2022-01-01', '2024-12-31'); '-' becomes NaN/NaT",
            get_dividend,
            "FPT",
            "2022-01-01",
            "2024-12-31",
        )

        Client().logout()
        command_line(server.base_url)


def command_line(base_url):
    """Run the ``quorvex`` command of this environment: a CSV export and a chart."""
    script = os.path.join(os.path.dirname(sys.executable), "quorvex")
    if not os.path.exists(script):
        heading("command line: not installed")
        failed.append("command line")
        return
    # The login comes from the environment, never from arguments.
    env = dict(os.environ, QUORVEX_BASE_URL=base_url, QUORVEX_USERNAME="demo", QUORVEX_PASSWORD="demo")
    export = [
        "pricebars",
        "FPT",
        "VNM",
        "--from",
        "2024-01-01",
        "--to",
        "2024-02-29",
        "--period",
        "W",
        "--format",
        "csv",
    ]
    heading("quorvex " + " ".join(export))
    done = subprocess.run([script, *export], env=env, capture_output=True, text=True)
    print(done.stdout.rstrip() if done.returncode == 0 else done.stderr.rstrip())
    if done.returncode != 0:
        failed.append("CSV export")

    chart = os.path.join(_here, "build", "demo", "FPT-weekly.png")
    os.makedirs(os.path.dirname(chart), exist_ok=True)
    draw = [
        "chart",
        "FPT",
        "--from",
        "2023-07-01",
        "--to",
        "2024-06-30",
        "--period",
        "W",
        "--with",
        "foreign",
        "--with",
        "matchBook",
        "-o",
        chart,
    ]
    heading("quorvex " + " ".join(draw).replace(chart, os.path.relpath(chart, _here)))
    done = subprocess.run([script, *draw], env=env, capture_output=True, text=True)
    if done.returncode == 0:
        print(f"chart written to {chart}")
    else:
        print(done.stderr.rstrip())
        failed.append("chart")


if __name__ == "__main__":
    main()
    if failed:
        print(f"\n{len(failed)} section(s) failed: {'; '.join(failed)}", file=sys.stderr)
        sys.exit(1)
