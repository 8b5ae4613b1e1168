"""The history store on the command line: the options every fetching subcommand takes
(``--no-store``, ``--refresh``, ``--rate``) and ``quorvex store info|clear``.

The data commands keep what the service answers in the user's store (the file
``configure(store=True)`` names, ``QUORVEX_STORE=0`` for none), so a repeated command
asks only for the days it has not seen. ``store info`` and ``store clear`` never make
the file: with none yet there is nothing to show or to clear. ``store info`` shows a
store that cannot be written as well (changing nothing); ``store clear`` fails on it."""

from __future__ import annotations

import argparse
import pathlib
import warnings
from typing import Any, Dict, List, Optional, Tuple

from quorvex.cli.errors import Failure
from quorvex.datasets import DATASETS


def store_options(number: Any) -> argparse.ArgumentParser:
    """The options of the commands that fetch; ``number`` parses a positive number."""
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group(
        "history store and rate",
        "What the service answers is kept in a local file (QUORVEX_STORE names another, "
        "0 none), so a repeated command asks only for the days not kept yet and the "
        "most recent ones. 'quorvex store info' shows what is kept.",
    )
    group.add_argument(
        "--no-store",
        dest="store",
        action=_StoreChoice,
        default=True,
        help="neither read nor keep anything in the history store",
    )
    group.add_argument(
        "--refresh",
        action=_StoreChoice,
        default=False,
        help="ask the service for the whole range again, and keep what it says in place of what was kept",
    )
    group.add_argument(
        "--rate",
        type=number,
        metavar="N",
        help="send at most N requests a second (default: no limit); a call may first wait "
        "up to its --deadline for its turn, so it ends within twice its --deadline",
    )
    return parent


class _StoreChoice(argparse.Action):
    """``--no-store`` or ``--refresh``, refused together. (Not a mutually exclusive
    group: a parent parser's group would leave its help section on the way.)"""

    def __init__(self, option_strings: List[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, **kwargs)

    def __call__(self, parser: Any, namespace: argparse.Namespace, values: Any, option: Optional[str] = None) -> None:
        other_given = namespace.store is False if option == "--refresh" else namespace.refresh
        if other_given:
            parser.error("--refresh and --no-store exclude each other: a refresh keeps what the service says")
        setattr(namespace, self.dest, option == "--refresh")


def add_store_command(commands: Any, parser_class: Any) -> None:
    """Declare ``store info`` and ``store clear`` with their handlers."""
    store = commands.add_parser(
        "store",
        help="show or empty the local history store",
        description="The local file that keeps what the service answered.",
    )
    actions = store.add_subparsers(dest="action", metavar="ACTION", required=True, parser_class=parser_class)
    info = actions.add_parser(
        "info",
        help="the file, its size, and the tickers and ranges kept per service, user and data set",
        description="Show the store's file and size, and per service, user and data set the tickers kept "
        "with the ranges of days they cover.",
    )
    clear = actions.add_parser(
        "clear",
        help="forget the tickers named, or everything",
        description="Forget what is kept of the tickers named (of every data set and service), or everything.",
    )
    clear.add_argument("tickers", nargs="*", metavar="TICKER", help="tickers to forget (default: all)")
    for sub, handler in ((info, run_store_info), (clear, run_store_clear)):
        sub.add_argument("--debug", action="store_true", help="show tracebacks of failures")
        # No time limits here: the store is a local file.
        sub.set_defaults(handler=handler, command_parser=sub, timeout=None, deadline=None)


# --- The handlers ---------------------------------------------------------------------------


def run_store_info(options: argparse.Namespace) -> int:
    path = _path()
    if path is None:
        print("no history store: QUORVEX_STORE is 0")
        return 0
    if not path.exists():
        print(f"history store {path}: nothing kept yet")
        return 0

    def look(store: Any) -> Optional[Tuple[List[Dict[str, Any]], bool]]:
        entries = store.info()
        return None if entries is None else (entries, store.read_only)

    entries, read_only = _read(path, look)
    print(f"history store {path}, {_size(path)}{', read-only' * read_only}" + ("" if entries else ": nothing kept"))
    order = {name: place for place, name in enumerate(DATASETS)}
    for service in dict.fromkeys(entry["service"] for entry in entries):
        print(f"service {service}")
        for user in dict.fromkeys(entry["user"] for entry in entries if entry["service"] == service):
            # The rows of one login (a token without a known user by its hash, never itself).
            print(f"  {_whose(user)}")
            mine = [entry for entry in entries if (entry["service"], entry["user"]) == (service, user)]
            for dataset in sorted({entry["dataset"] for entry in mine}, key=lambda name: order.get(name, len(order))):
                rows = [entry for entry in mine if entry["dataset"] == dataset]
                print(f"    {dataset}: {len(rows)} ticker{'s' * (len(rows) != 1)}")
                width = max(len(entry["ticker"]) for entry in rows)
                for entry in rows:
                    ranges = " and ".join(f"{first} to {last}" for first, last in entry["ranges"]) or "recent days only"
                    count = entry["rows"]
                    print(f"      {entry['ticker']:<{width}}  {ranges}, {count} row{'s' * (count != 1)}")
    return 0


def run_store_clear(options: argparse.Namespace) -> int:
    path = _path()
    tickers: Optional[List[str]] = list(dict.fromkeys(options.tickers)) or None
    if path is None:
        print("no history store: QUORVEX_STORE is 0; nothing to clear")
        return 0
    if not path.exists():
        print(f"history store {path}: nothing kept, nothing to clear")
        return 0

    def clear(store: Any) -> Optional[Dict[str, Any]]:
        before = store.info()
        if before is not None and store.read_only:
            raise Failure(f"the history store {path} is read-only: nothing can be cleared from it")
        removed = store.clear(tickers)
        after = store.info()
        if before is None or after is None:
            return None
        left = {entry["ticker"] for entry in after}
        return {
            "held": {entry["ticker"] for entry in before},
            "removed": removed,
            "left": left if tickers is None else left & set(tickers),
        }

    done = _read(path, clear)
    if done["left"]:
        raise Failure(f"the history store {path} is busy (another quorvex is writing to it); try again")
    if tickers is None:
        print(f"emptied the history store {path} ({done['removed']} rows)")
        return 0
    found = [ticker for ticker in tickers if ticker in done["held"]]
    missing = [ticker for ticker in tickers if ticker not in done["held"]]
    words = [f"cleared {', '.join(found)} from the history store {path} ({done['removed']} rows)"] if found else []
    if missing:
        words.append(f"nothing was kept of {', '.join(missing)}")
    print("; ".join(words))
    return 0


def _whose(user: str) -> str:
    """How ``store info`` names the user of some rows: "user NAME", or "token" and the
    hash the store keys a token by when no login of this process gave it."""
    return user if user.startswith("token ") else f"user {user}"


def _path() -> Optional[pathlib.Path]:
    """The store the data commands use: the one ``configure(store=True)`` names."""
    from quorvex.store import default_path

    return default_path()


def _read(path: pathlib.Path, work: Any) -> Any:
    """``work(store)`` on the store at ``path``; ``None`` from it is a failure, told in
    the store's own words when it cannot be used (and not also as a warning)."""
    from quorvex.store import HistoryStore, StoreWarning

    store = HistoryStore(path)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", StoreWarning)
            result = work(store)
            unusable = store.disabled
    finally:
        store.close()
    if result is None:
        if unusable is not None:
            raise Failure(unusable)
        # The store skips a read or write that waited in vain for another process's.
        raise Failure(f"the history store {path} is busy (another quorvex is writing to it); try again")
    return result


def _size(path: pathlib.Path) -> str:
    """The size of the file with its journal, in the unit that suits it."""
    total = 0.0
    for suffix in ("", "-wal"):
        try:
            total += path.with_name(path.name + suffix).stat().st_size
        except OSError:
            pass
    for unit in ("bytes", "kB", "MB", "GB"):
        if total < 1000 or unit == "GB":
            return f"{total:.0f} {unit}" if unit == "bytes" else f"{total:.1f} {unit}"
        total /= 1000
    raise AssertionError("unreachable")
