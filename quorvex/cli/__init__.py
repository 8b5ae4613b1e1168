"""The ``quorvex`` command: tables of the data functions as a terminal table, CSV, JSON or
Parquet, and a price chart.

    quorvex pricebars FPT VNM --from 2024-01-01 --to 2024-03-31 --period W
    quorvex chart FPT --from 2024-01-01 --to 2024-06-30 --period W -o fpt.png

The login comes from QUORVEX_USERNAME and QUORVEX_PASSWORD (never from arguments, which
other users of the machine can read in the process list); the token stays in memory and
neither it nor the password is ever printed, tracebacks included. Every request has a
time limit per attempt and per call, so a command never hangs; Ctrl-C ends it at once
with status 130. Expected failures print one line on stderr and exit 1, wrong usage
exits 2; ``--debug`` adds the traceback. Nothing heavy is imported before the arguments
are read, so that ``quorvex --help`` answers at once and the command works without
matplotlib.

One module per job: ``parsing`` (the subcommands, each with its handler), ``dates``
(the range and the period), ``session`` (time limits, login, secrets), ``fetching``
(the data-set subcommands), ``rendering`` (the output formats), ``chart_command``
(``quorvex chart``), ``errors`` (the wording of failures) and ``app`` (``main``).
"""

from quorvex.cli.app import main
from quorvex.cli.errors import describe
from quorvex.cli.parsing import build_parser
from quorvex.cli.rendering import render, write_table

__all__ = ["build_parser", "describe", "main", "render", "write_table"]
