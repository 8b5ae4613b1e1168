"""The command line's parser: one subcommand per data set of the registry, ``chart`` and
``store`` (its own module), each declared once with its handler (``set_defaults``).

A subcommand's refusals name it and say why (``quorvex dividend: --period does not
apply to dividend``) after its usage line, and exit with status 2."""

from __future__ import annotations

import argparse
import math
import os
import re
import sys
from typing import Any, Callable, List, NoReturn, Tuple

import quorvex
from quorvex.cli.chart_command import run_chart
from quorvex.cli.errors import PROG
from quorvex.cli.fetching import run_dataset
from quorvex.cli.rendering import FORMATS
from quorvex.cli.session import BACKOFF
from quorvex.cli.store_command import add_store_command, store_options
from quorvex.datasets import CHART_PANELS, DATASETS
from quorvex.service import PASSWORD_VARIABLE, USERNAME_VARIABLE

#: Seconds any one attempt of a request may take; the command line always sets a limit.
DEFAULT_TIMEOUT = 30.0
DEFAULT_CHART_SIZE = (1200, 800)
COMMANDS = (*DATASETS, "chart", "store")


class CommandParser(argparse.ArgumentParser):
    """A subcommand's parser: its errors are told as ``quorvex NAME: what is wrong``."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: {message}\n")

    def refuse_extras(self, extras: List[str], known: "set[str]") -> NoReturn:
        """Refuse arguments this subcommand does not take; an option of another
        subcommand is named as one that does not apply here."""
        command = self.prog.split(" ", 1)[-1]
        for extra in extras:
            option = extra.split("=", 1)[0]
            if option in known:
                self.error(f"{option} does not apply to {command}")
        self.error(f"unrecognized arguments: {' '.join(extras)}")


def _service_options() -> argparse.ArgumentParser:
    connection = argparse.ArgumentParser(add_help=False)
    group = connection.add_argument_group(
        "service",
        "Every call to the service (the login, and the request of each ticker) ends "
        "within its time limit, --deadline: %g s with the default settings. A command "
        "therefore takes at most one limit for the login plus one per round of --workers "
        "tickers (the chart: one per data set drawn), twice that with --rate, and never "
        "hangs. Ctrl-C ends it at once, with status 130." % default_deadline(DEFAULT_TIMEOUT, 0),
    )
    add = group.add_argument
    add(
        "--timeout",
        type=positive_number,
        default=DEFAULT_TIMEOUT,
        metavar="SECONDS",
        help="time limit of each attempt of a request, from connecting to the answer's "
        "last byte, the login included (default %(default)g)",
    )
    add(
        "--retries",
        type=count(0),
        default=0,
        metavar="N",
        help="retries of a request on a connection error or a 429/5xx answer (default 0)",
    )
    add(
        "--deadline",
        type=positive_number,
        metavar="SECONDS",
        help="time limit of each call to the service, its retries and their pauses "
        "included (default: (N + 1) attempts of --timeout and the pauses between them)",
    )
    add(
        "--ca-bundle",
        type=readable_file,
        metavar="FILE",
        help="trust the certificates of this PEM file (a self-signed or company "
        "certificate authority) instead of the bundle requests would use",
    )
    add("--debug", action="store_true", help="show tracebacks of failures")
    return connection


def _date_options() -> argparse.ArgumentParser:
    dates = argparse.ArgumentParser(add_help=False)
    dates.add_argument("--from", dest="start", required=True, metavar="DATE", help="first day, YYYY-MM-DD")
    dates.add_argument("--to", dest="end", metavar="DATE", help="last day, YYYY-MM-DD (default: today)")
    return dates


PERIOD_HELP = "D for the days as served, or a pandas resample rule: W, ME, QE, ... (default D)"


def build_parser() -> argparse.ArgumentParser:
    """The parser of the whole command line, one subcommand per data set plus ``chart``."""
    parents: List[Any] = [_date_options(), _service_options(), store_options(positive_number)]
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Vietnamese stock-market data as tables and charts. Log in through "
        f"the variables {USERNAME_VARIABLE} and {PASSWORD_VARIABLE}; the "
        "service address is QUORVEX_BASE_URL.",
        epilog=f"'{PROG} COMMAND --help' describes each command's options.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {quorvex.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=CommandParser)

    for name, dataset in DATASETS.items():
        sub = commands.add_parser(
            name, parents=parents, help=dataset.help, description=f"Fetch {dataset.help} of one or more tickers."
        )
        sub.add_argument("tickers", nargs="+", metavar="TICKER", help="ticker symbols, e.g. FPT VNM")
        if dataset.has_period:
            sub.add_argument("--period", default="D", metavar="RULE", help=PERIOD_HELP)
        if dataset.has_unit:
            sub.add_argument(
                "--unit",
                type=positive_number,
                default=1.0,
                metavar="N",
                help="divisor of the money columns, e.g. 1e9 for billions (default 1)",
            )
        out = sub.add_argument_group("output").add_argument
        out(
            "--format",
            choices=FORMATS,
            help="default: from the suffix of -o; otherwise a table on a "
            "terminal and CSV when piped (parquet needs pyarrow and -o)",
        )
        out("-o", "--output", metavar="FILE", help="write to FILE instead of stdout")
        out("--workers", type=count(1), default=8, metavar="N", help="tickers fetched at once (default 8)")
        out(
            "--progress",
            action=argparse.BooleanOptionalAction,
            default=None,
            help="progress bar on stderr (default: when stderr is a terminal; needs tqdm)",
        )
        sub.set_defaults(handler=run_dataset, command_parser=sub)

    chart = commands.add_parser(
        "chart",
        parents=parents,
        help="candlestick chart of one ticker",
        description="Draw candlesticks of a ticker's price bars with the volume beneath, "
        "as PNG (or SVG, PDF: by the file's suffix). Needs matplotlib: "
        "pip install 'quorvex[chart]'.",
    )
    chart.add_argument("ticker", nargs="+", metavar="TICKER", help="one ticker symbol")
    chart.add_argument("--period", default="D", metavar="RULE", help=PERIOD_HELP)
    chart.add_argument(
        "--with",
        dest="panels",
        action="append",
        default=[],
        metavar="DATASET",
        help=f"add a panel: {' or '.join(CHART_PANELS)}; repeat it or separate by commas",
    )
    chart.add_argument(
        "--size",
        type=size,
        default=DEFAULT_CHART_SIZE,
        metavar="WxH",
        help="image size in pixels (default %d×%d)" % DEFAULT_CHART_SIZE,
    )
    chart.add_argument("--width", type=pixels, metavar="PIXELS", help="overrides --size")
    chart.add_argument("--height", type=pixels, metavar="PIXELS", help="overrides --size")
    chart.add_argument("-o", "--output", metavar="FILE", help="file to write (default: TICKER.png)")
    chart.set_defaults(handler=run_chart, command_parser=chart)
    add_store_command(commands, CommandParser)
    return parser


def parse(parser: argparse.ArgumentParser, args: List[str]) -> argparse.Namespace:
    """The options of ``args``; usage errors exit 2 with the subcommand's words."""
    options, extras = parser.parse_known_args(args)
    sub: CommandParser = options.command_parser
    if extras:
        known = {option for action in _all_actions(parser) for option in action.option_strings}
        sub.refuse_extras(extras, known)
    if options.command == "chart":
        if len(options.ticker) > 1:
            sub.error("takes one ticker")
        options.ticker = options.ticker[0]
    if getattr(options, "format", None) == "parquet" and not options.output:
        sub.error("--format parquet needs -o FILE")
    if options.deadline is None and options.timeout is not None:
        options.deadline = default_deadline(options.timeout, options.retries)
    return options


def _all_actions(parser: argparse.ArgumentParser) -> "list[argparse.Action]":
    found = []
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                found.extend(sub._actions)
    return found


# --- Values of the options ----------------------------------------------------------------


def positive_number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text!r}")
    return value


def readable_file(text: str) -> str:
    if not os.path.isfile(text) or not os.access(text, os.R_OK):
        raise argparse.ArgumentTypeError(f"no file that can be read: {text!r}")
    return text


def count(least: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}: {text!r}")
        return value

    return parse


def size(text: str) -> Tuple[int, int]:
    match = re.fullmatch(r"\s*(\d+)\s*[xX×]\s*(\d+)\s*", text)
    if not match:
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT in pixels: {text!r}")
    return pixels(match[1]), pixels(match[2])


def pixels(text: str) -> int:
    if not text.strip().isdigit() or not 16 <= int(text) <= 10000:
        raise argparse.ArgumentTypeError(f"expected 16 to 10000 pixels: {text!r}")
    return int(text)


def default_deadline(timeout: float, retries: int) -> float:
    """The time limit of one call to the service when --deadline is not given: the
    library's bound for the attempts, their retries and the pauses between them."""
    from quorvex.remote import call_bound

    bound = call_bound(timeout, retries, BACKOFF, None)
    assert bound is not None  # a time limit is set, so the call has a bound
    return float(bound)
