"""Candlestick chart of one ticker's price bars, with the volume beneath and optional
panels of foreign investors' net value and of order-match counts.

matplotlib is an optional dependency (``pip install 'quorvex[chart]'``): it is imported
only when a chart is drawn, and never through pyplot, so no window backend and no global
figure state is involved; the figure is rendered by the backend of the file's type.
"""

from __future__ import annotations

import functools
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from quorvex.datasets import CHART_PANELS, Panel

if TYPE_CHECKING:
    import pandas as pd

UP = "#16a34a"  # close at or above open
DOWN = "#dc2626"
GRID = "#e5e7eb"
TEXT = "#374151"
DPI = 100

#: Words for the resample rules people use most; others are shown as given.
PERIOD_NAMES = {
    "D": "daily",
    "W": "weekly",
    "ME": "monthly",
    "M": "monthly",
    "MS": "monthly",
    "QE": "quarterly",
    "Q": "quarterly",
    "QS": "quarterly",
    "YE": "yearly",
    "Y": "yearly",
    "A": "yearly",
    "YS": "yearly",
}


class MissingMatplotlib(Exception):
    """matplotlib is not installed; the message says how to install it."""


def require_matplotlib() -> None:
    """Raise MissingMatplotlib unless matplotlib can be imported."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise MissingMatplotlib("the chart needs matplotlib: pip install 'quorvex[chart]'") from None


def draw(
    path: str,
    bars: "pd.DataFrame",
    *,
    ticker: str,
    start: str,
    end: str,
    period: str,
    panels: Optional[Mapping[str, "pd.DataFrame"]] = None,
    foreign: Optional["pd.DataFrame"] = None,
    match_book: Optional["pd.DataFrame"] = None,
    size: Tuple[int, int] = (1200, 800),
) -> None:
    """Write the chart of ``bars`` (a price-bar table indexed by "DateTime") to ``path``.

    ``size`` is in pixels. ``panels`` maps the name of a data set that has a chart
    panel in the registry (``quorvex.datasets.CHART_PANELS``: "foreign", "matchBook")
    to its table, drawn beneath the volume in that order; ``foreign=`` and
    ``match_book=`` are the same as ``panels={"foreign": ...}`` and
    ``{"matchBook": ...}``. Their rows are matched to the bars by date. The
    candles stand side by side without gaps for weekends and holidays (the rows as
    served); a period without a bar, as a regrouped week without trading days, keeps an
    empty slot, and a panel's period without a row is empty too (never drawn as zero).
    The axis is labelled with dates; a legend tells the candle colours and the
    last-close tag.
    """
    figure(
        bars,
        ticker=ticker,
        start=start,
        end=end,
        period=period,
        panels=panels,
        foreign=foreign,
        match_book=match_book,
        size=size,
    ).savefig(path, dpi=DPI, facecolor="white")


def figure(
    bars: "pd.DataFrame",
    *,
    ticker: str,
    start: str,
    end: str,
    period: str,
    panels: Optional[Mapping[str, "pd.DataFrame"]] = None,
    foreign: Optional["pd.DataFrame"] = None,
    match_book: Optional["pd.DataFrame"] = None,
    size: Tuple[int, int] = (1200, 800),
) -> Any:
    """The matplotlib ``Figure`` that ``draw`` writes, laid out (drawn once on a canvas)."""
    require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    complete = bars[["Open", "High", "Low", "Close"]].notna().all(axis=1).to_numpy()
    if not complete.any():
        raise ValueError("no price bars to draw")
    # A period without a bar between the first and the last (a week without trading)
    # keeps its slot, empty: a gap, not a candle of zero nor two weeks run together.
    first, last_at = complete.argmax(), len(complete) - complete[::-1].argmax()
    bars = bars.iloc[first:last_at]
    dates = bars.index
    xs = list(range(len(bars)))
    rising = (bars["Close"] >= bars["Open"]).tolist()
    colours = [UP if up else DOWN for up in rising]

    tables = dict(panels or {})
    if foreign is not None:
        tables["foreign"] = foreign
    if match_book is not None:
        tables["matchBook"] = match_book
    drawn: List[Tuple[str, Callable[[Any], None]]] = []
    for name, table in tables.items():
        panel = CHART_PANELS[name]
        values = table[list(panel.columns)].reindex(dates) / panel.scale
        drawn.append((panel.label, functools.partial(_PANEL_STYLES[panel.style], xs=xs, values=values, panel=panel)))

    width, height = size
    sheet = Figure(figsize=(width / DPI, height / DPI), dpi=DPI, layout="constrained")
    FigureCanvasAgg(sheet)
    ratios = [4.0, 1.3] + [1.3] * len(drawn)
    axes = sheet.subplots(len(ratios), 1, sharex=True, gridspec_kw={"height_ratios": ratios, "hspace": 0.04})
    price, volume = axes[0], axes[1]

    # Candles: a wick from low to high, a body from open to close (never thinner than a
    # line, so an unchanged period still shows).
    body_width = 0.7 if len(xs) < 150 else 0.8
    price.vlines(xs, bars["Low"], bars["High"], colors=colours, linewidth=1.0, zorder=2)
    span = float(bars["High"].max() - bars["Low"].min()) or 1.0
    bottoms = bars[["Open", "Close"]].min(axis=1)
    heights = (bars["Close"] - bars["Open"]).abs().clip(lower=span * 0.002)
    price.bar(xs, heights, bottom=bottoms, width=body_width, color=colours, zorder=3)
    # The last close, marked across the chart and labelled at the right edge.
    last = float(bars["Close"].iloc[-1])
    price.axhline(last, color=colours[-1], linewidth=0.8, linestyle="--", alpha=0.7)
    price.annotate(
        f"{last:,.0f}",
        xy=(1.0, last),
        xycoords=("axes fraction", "data"),
        xytext=(4, 0),
        textcoords="offset points",
        va="center",
        fontsize=9,
        color="white",
        bbox={"boxstyle": "round,pad=0.25", "fc": colours[-1], "ec": "none"},
    )
    # What the colours and the dashed line mean, where the candles leave room for it.
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    price.legend(
        handles=[
            Patch(color=UP, label="close ≥ open"),
            Patch(color=DOWN, label="close < open"),
            Line2D([], [], color=colours[-1], linewidth=0.8, linestyle="--", label=f"last close {last:,.0f}"),
        ],
        loc="best",
        fontsize=8,
        frameon=True,
        framealpha=0.85,
        edgecolor=GRID,
        ncol=3,
    )
    price.set_ylabel("Price (VND)")
    price.yaxis.set_major_formatter(_formatter(lambda value: f"{value:,.0f}"))
    # No tick label at the bottom edge, where the panel beneath puts its axis label.
    price.yaxis.set_major_locator(MaxNLocator(nbins=6, prune="lower"))

    volume.bar(xs, bars["Volume"], width=body_width, color=colours, alpha=0.55)
    volume.set_ylabel("Volume")
    volume.yaxis.set_major_formatter(_formatter(_short_number))
    volume.yaxis.set_major_locator(MaxNLocator(3, prune="both"))

    for ax, (label, fill) in zip(axes[2:], drawn):
        fill(ax)
        ax.set_ylabel(label)
        ax.yaxis.set_major_locator(MaxNLocator(3, prune="both"))

    for ax in axes:
        ax.grid(True, color=GRID, linewidth=0.8)
        ax.set_axisbelow(True)
        for side in ("top", "right"):
            ax.spines[side].set_visible(False)
        ax.tick_params(colors=TEXT, labelsize=9)
        ax.yaxis.label.set_color(TEXT)
        ax.yaxis.label.set_size(10)

    # One column of axis labels, so that two panels' labels never sit side by side.
    sheet.align_ylabels(axes)
    labels = [day.strftime("%Y-%m-%d") for day in dates]
    bottom = axes[-1]
    bottom.set_xlim(-0.8, len(xs) - 0.2)
    bottom.xaxis.set_major_locator(MaxNLocator(nbins=min(8, len(xs)), integer=True))
    bottom.xaxis.set_major_formatter(
        _formatter(lambda value: labels[int(value)] if value == int(value) and 0 <= value < len(labels) else "")
    )

    what = PERIOD_NAMES.get(period, f"'{period}'")
    sheet.suptitle(f"{ticker}  ·  {what} bars  ·  {start} to {end}", fontsize=15, fontweight="bold", color="#111827")
    sheet.canvas.draw()
    return sheet


def _signed_bars(ax: Any, *, xs: Sequence[int], values: "pd.DataFrame", panel: Panel) -> None:
    """One column as bars, green above zero and red below; a period without a row has
    no bar (NaN), not a bar of zero."""
    column = values.iloc[:, 0].tolist()
    colours = [UP if value >= 0 else DOWN for value in column]
    ax.bar(xs, column, width=0.7, color=colours, alpha=0.8)
    ax.axhline(0, color=TEXT, linewidth=0.6)


def _lines(ax: Any, *, xs: Sequence[int], values: "pd.DataFrame", panel: Panel) -> None:
    """One line per column (buy green, sell red); a period without a row breaks the
    line (NaN), so that a gap looks like a gap and not like a dip to zero."""
    colours = [UP, DOWN, TEXT]
    for at, name in enumerate(panel.columns):
        label = panel.legend[at] if at < len(panel.legend) else ""
        ax.plot(xs, values[name].tolist(), color=colours[at % 3], linewidth=1.4, label=label or None)
    ax.yaxis.set_major_formatter(_formatter(_short_number))
    if any(panel.legend):
        ax.legend(loc="upper left", fontsize=8, frameon=False, ncol=len(panel.columns))


_PANEL_STYLES: Dict[str, Callable[..., None]] = {"signed": _signed_bars, "lines": _lines}


def _formatter(function: Callable[[float], str]) -> Any:
    from matplotlib.ticker import FuncFormatter

    return FuncFormatter(lambda value, _: function(value))


def _short_number(value: float) -> str:
    """1 500 000 as "1.5M", 12 000 as "12K"."""
    for limit, suffix in ((1e9, "B"), (1e6, "M"), (1e3, "K")):
        if abs(value) >= limit:
            return f"{value / limit:.3g}{suffix}"
    return f"{value:.0f}"
