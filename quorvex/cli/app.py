"""The command's entry point: ``main(argv)`` parses, runs the subcommand's handler and
turns failures into one line and an exit status; Ctrl-C ends the command at once."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
import warnings
from typing import Any, Callable, List, NoReturn, Optional, Sequence

from quorvex.cli.errors import PROG, report, warning_printer
from quorvex.cli.parsing import COMMANDS, build_parser, parse
from quorvex.cli.rendering import discard_pending
from quorvex.cli.session import check_address, known_secrets

#: Seconds between a first Ctrl-C and the end of the process, whatever is running then.
INTERRUPT_GRACE = 0.5

_ending = threading.Lock()


def _end_interrupted() -> NoReturn:
    """End the process at once with status 130, from whichever thread comes first.

    Worker threads may still wait on the network: the process does not wait for them
    (os._exit runs no exit handlers, so neither concurrent.futures' join of its workers
    nor the interpreter's shutdown with threads still inside compiled calls)."""
    if _ending.acquire(blocking=False):
        discard_pending()  # an output file half written: the old one stays, the part goes
        try:
            # os.write: the main thread may hold the lock of sys.stderr.
            os.write(2, f"{PROG}: interrupted\n".encode())
        except OSError:
            pass
        os._exit(130)
    threading.Event().wait()  # the other thread is ending the process
    raise AssertionError("unreachable")


def _on_interrupt(signum: int, frame: Any) -> None:
    """The first Ctrl-C unwinds the command as Python does; should that take longer
    than INTERRUPT_GRACE, or Ctrl-C come again, the process ends at once."""
    signal.signal(signal.SIGINT, _on_repeated_interrupt)
    watchdog = threading.Timer(INTERRUPT_GRACE, _end_interrupted)
    watchdog.daemon = True
    watchdog.start()
    raise KeyboardInterrupt


def _on_repeated_interrupt(signum: int, frame: Any) -> None:
    _end_interrupted()


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line ``argv`` (default: ``sys.argv[1:]``); return the exit status.

    0: done; 1: an expected failure, told in one line on stderr; 2: wrong usage (argparse
    exits with it); 130: interrupted.

    Without ``argv``, as the ``quorvex`` command and ``python -m quorvex``, the command
    owns the process: Ctrl-C ends it within INTERRUPT_GRACE seconds and without waiting
    for threads still at work (``os._exit(130)``). Called with ``argv`` from a program,
    an interrupt returns 130 instead.
    """
    owner = argv is None and threading.current_thread() is threading.main_thread()
    if owner and signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        signal.signal(signal.SIGINT, _on_interrupt)
    try:
        return _main(list(sys.argv[1:] if argv is None else argv))
    except KeyboardInterrupt:
        if owner:
            _end_interrupted()
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


def _main(args: List[str]) -> int:
    if args and not args[0].startswith("-") and args[0] not in COMMANDS:
        print(f"{PROG}: error: unknown data set {args[0]!r} (choose from {', '.join(COMMANDS)})", file=sys.stderr)
        return 1
    options = parse(build_parser(), args)
    options.secrets = known_secrets()
    try:
        with warnings.catch_warnings():
            warnings.showwarning = warning_printer(options.secrets)
            check_address()
            handler: Callable[[argparse.Namespace], int] = options.handler
            return handler(options)
    except BrokenPipeError:
        # The reader left (``quorvex ... | head``): stop quietly. Python would report the
        # failed flush of stdout at exit, so point stdout at nothing first.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Exception as error:
        report(error, options)
        return 1
