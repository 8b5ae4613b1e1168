"""The data sets of the service: one row each, read by everything that lists them.

The package root (its lazy names), ``download`` and ``configure`` (which modules to
reach), the command line (its subcommands, their options and help, the chart's panels),
the build (which modules to compile), the benchmark and the tests all read this table,
so a new data set is its compiled module, its stub and one row here. A test holds every
row against its compiled module: the function's name and parameters, the endpoint it
requests, and the columns of the table it makes.

This module imports nothing but the standard library, so that ``setup.py`` can read it
before the package is built.
"""

import importlib
import sys
from typing import Any, Dict, Mapping, NamedTuple, Optional, Tuple

#: The column that indexes every time series.
DATE_INDEX = "DateTime"


class Panel(NamedTuple):
    """How ``quorvex chart --with NAME`` draws a data set beneath the price bars."""

    #: The axis label (a line break keeps it narrow).
    label: str
    #: The columns drawn, matched to the bars by date.
    columns: Tuple[str, ...]
    #: "signed": bars coloured by sign (one column); "lines": one line per column.
    style: str
    #: Divisor of the values (1e9: billions).
    scale: float = 1.0
    #: Legend entries of the lines, one per column ("" for none).
    legend: Tuple[str, ...] = ()


class Dataset(NamedTuple):
    """One data function of the service: where it lives, what it takes, what it gives."""

    #: Dotted name of the compiled module.
    module: str
    #: Name of the data function in it.
    function: str
    #: Whether it takes ``period`` (fourth parameter) ...
    has_period: bool
    #: ... and ``unit`` (fifth).
    has_unit: bool
    #: The path it requests, after the base URL.
    endpoint: str = ""
    #: The columns whose cells the answer must hold as numbers (their order is the
    #: order of the empty table's columns).
    figures: Tuple[str, ...] = ()
    #: The columns that become timestamps: the index of a time series, or the event
    #: dates of a table without one.
    dates: Tuple[str, ...] = (DATE_INDEX,)
    #: What the table holds, in a few words (the command line's help).
    help: str = ""
    #: How the chart draws it under the price bars, or None when it cannot.
    panel: Optional[Panel] = None
    #: The columns its function divides by ``unit`` (a data set that takes one).
    scaled: Tuple[str, ...] = ()

    @property
    def parameters(self) -> Tuple[str, ...]:
        """The function's parameters, in order."""
        return ("ticker", "fromDate", "toDate") + ("period",) * self.has_period + ("unit",) * self.has_unit

    @property
    def is_series(self) -> bool:
        """Indexed by "DateTime" (a time series), not numbered rows (events)."""
        return self.dates == (DATE_INDEX,)


#: The dividend table's event dates, which become timestamps (NaT where unknown).
DIVIDEND_DATES = ("Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện")

#: The data sets by the name a user gives (``download``'s first argument, the command).
DATASETS: Mapping[str, Dataset] = {
    "pricebars": Dataset(
        "quorvex.process_stock.pricebars",
        "get_pricebars",
        has_period=True,
        has_unit=False,
        endpoint="/api/stock/pricebars",
        figures=("Open", "High", "Low", "Close", "Volume"),
        help="price bars: Open, High, Low, Close, Volume",
    ),
    "foreign": Dataset(
        "quorvex.process_stock.foreign",
        "get_foreign",
        has_period=True,
        has_unit=True,
        endpoint="/api/stock/foreign",
        figures=(
            "Close",
            "buyForeignVolume",
            "sellForeignVolume",
            "buyForeignValue",
            "sellForeignValue",
            "netForeignValue",
        ),
        help="foreign investors' bought and sold volumes and values, net value, close",
        panel=Panel("Foreign net\n(bn VND)", ("netForeignValue",), "signed", scale=1e9),
        scaled=("buyForeignValue", "sellForeignValue", "netForeignValue"),
    ),
    "dealerDesk": Dataset(
        "quorvex.process_stock.dealerDesk",
        "get_dealerDesk",
        has_period=True,
        has_unit=True,
        endpoint="/api/stock/dealerDesk",
        figures=("dealerDeskNetValue",),
        help="dealers' own-account net value",
        scaled=("dealerDeskNetValue",),
    ),
    "matchBook": Dataset(
        "quorvex.process_stock.matchBook",
        "get_match_book",
        has_period=True,
        has_unit=False,
        endpoint="/api/stock/sAndD",
        figures=("buyCount", "buyVolume", "sellCount", "sellVolume"),
        help="buy-side and sell-side order counts and volumes",
        panel=Panel("Orders\n(count)", ("buyCount", "sellCount"), "lines", legend=("buy", "sell")),
    ),
    "dividend": Dataset(
        "quorvex.process_stock.dividend",
        "get_dividend",
        has_period=False,
        has_unit=False,
        endpoint="/api/stock/diviend",
        dates=DIVIDEND_DATES,
        help="dividend and entitlement events",
    ),
}

#: The data sets ``quorvex chart --with`` can draw.
CHART_PANELS: Dict[str, Panel] = {name: d.panel for name, d in DATASETS.items() if d.panel is not None}


def by_function(function: str) -> Tuple[str, Dataset]:
    """(name, row) of the data set whose function is ``function``; KeyError otherwise."""
    for name, dataset in DATASETS.items():
        if dataset.function == function:
            return name, dataset
    raise KeyError(function)


def rebind(name: str, value: Any, *, load: bool = False) -> None:
    """Set the global ``name`` of the data modules imported so far to ``value``; with
    ``load``, of all five, importing those not imported yet first (each module is
    imported only once per process, so one imported later could not follow)."""
    if load:
        modules = [importlib.import_module(dataset.module) for dataset in DATASETS.values()]
    else:
        modules = [sys.modules[dataset.module] for dataset in DATASETS.values() if dataset.module in sys.modules]
    for module in modules:
        setattr(module, name, value)
