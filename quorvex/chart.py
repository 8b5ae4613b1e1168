"""Candlestick chart of one ticker's price bars, with the volume beneath and optional
panels of foreign investors' net value and of order-match counts.

matplotlib is an optional dependency (``pip install 'quorvex[chart]'``): it is imported
only when a chart is drawn, and never through pyplot, so no window backend and no global
figure state is involved; the figure is rendered by the backend of the file's type.
"""

from __future__ import annotations

import datetime
import functools
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from quorvex.datasets import CHART_PANELS, DATASETS, Panel

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


#: What one period of a rule is called in the note on a partial first or last period.
PERIOD_UNITS = {
    "W": "week",
    "ME": "month",
    "M": "month",
    "MS": "month",
    "QE": "quarter",
    "Q": "quarter",
    "QS": "quarter",
    "YE": "year",
    "Y": "year",
    "A": "year",
    "YS": "year",
}

# Rules whose label is the last day of the period (pandas' resample closes and labels
# them on the right; the names before and after pandas 2.2); all others label the first.
_LABELLED_AT_THE_END = {"W", "ME", "QE", "YE", "BME", "BQE", "BYE", "M", "Q", "A", "Y", "BM", "BQ", "BA", "BY"}

#: The price columns; a row in which all four are zero (or missing) has no prices.
PRICES = ("Open", "High", "Low", "Close")


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
    today: Optional[datetime.date] = None,
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

    Missing is told from the data, on every period, daily included: a row is missing
    when its cells are NaN or when every figure of its data set in it is zero (prices
    all 0, or no order matched on either side in count nor volume: the service reports
    a day without data so). A zero beside a non-zero figure of the same row is real
    and drawn as zero (a foreign net value of 0 where buys equal sells).

    A first or last period that reaches past the range asked for (a week labelled
    with its Sunday of which ``start`` or ``end`` leaves out some weekdays), or past
    ``today`` (in Vietnam unless given) for a period not over yet, is hatched and
    lighter, and the legend says which end is partial. The legends stand outside the
    axes, so they never cover a candle, a bar or a line; they tell the candle colours,
    the last-close tag and the panels' lines.
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
        today=today,
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
    today: Optional[datetime.date] = None,
) -> Any:
    """The matplotlib ``Figure`` that ``draw`` writes, laid out (drawn once on a canvas)."""
    require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    bars = _with_gaps(bars, PRICES)
    complete = bars[list(PRICES)].notna().all(axis=1).to_numpy()
    if not complete.any():
        raise ValueError("no price bars to draw")
    # A period without a bar between the first and the last (a week without trading)
    # keeps its slot, empty: a gap, not a candle of zero nor two weeks run together.
    first, last_at = complete.argmax(), len(complete) - complete[::-1].argmax()
    bars = bars.iloc[first:last_at]
    unpriced = ~complete[first:last_at]
    if unpriced.any():
        # A period without prices traded nothing we know of: its volume is a gap too.
        bars = bars.astype({"Volume": "float64"})
        bars.loc[unpriced, "Volume"] = float("nan")
    dates = bars.index
    xs = list(range(len(bars)))
    rising = (bars["Close"] >= bars["Open"]).tolist()
    colours = [UP if up else DOWN for up in rising]
    partial = _partial_slots(dates, period, start, end, today)

    tables = dict(panels or {})
    if foreign is not None:
        tables["foreign"] = foreign
    if match_book is not None:
        tables["matchBook"] = match_book
    drawn: List[Tuple[str, Callable[[Any], None]]] = []
    for name, table in tables.items():
        panel = CHART_PANELS[name]
        table = _with_gaps(table, DATASETS[name].figures)
        values = table[list(panel.columns)].reindex(dates) / panel.scale
        fill = _PANEL_STYLES[panel.style]
        drawn.append((panel.label, functools.partial(fill, xs=xs, values=values, panel=panel, partial=partial)))

    width, height = size
    sheet = Figure(figsize=(width / DPI, height / DPI), dpi=DPI, layout="constrained")
    canvas = FigureCanvasAgg(sheet)
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
    bodies = price.bar(xs, heights, bottom=bottoms, width=body_width, color=colours, zorder=3)
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
    volumes = volume.bar(xs, bars["Volume"], width=body_width, color=colours, alpha=0.55)
    for at in partial:
        _mark_partial(bodies.patches[at], colours[at])
        _mark_partial(volumes.patches[at], colours[at])

    # What the colours, the dashed line and the hatching mean, above the candles: a
    # legend inside the axes would cover some candle of a long chart wherever it went.
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    handles = [
        Patch(color=UP, label="close ≥ open"),
        Patch(color=DOWN, label="close < open"),
        Line2D([], [], color=colours[-1], linewidth=0.8, linestyle="--", label=f"last close {last:,.0f}"),
    ]
    if partial:
        unit = PERIOD_UNITS.get(period, "period")
        ends = " and ".join(which for at, which in ((0, "first"), (len(xs) - 1, "last")) if at in partial)
        handles.append(Patch(fc="none", ec=TEXT, hatch="////", label=f"{ends} {unit} partial"))
    # In one row while it fits the figure's width (with room for the axis labels), else
    # in fewer columns: a key wider than the figure would leave the axes no room at all.
    renderer = canvas.get_renderer()
    for columns in range(len(handles), 0, -1):
        key = _key(price, handles, columns)
        if key.get_window_extent(renderer).width <= 0.8 * sheet.bbox.width:
            break
    price.set_ylabel("Price (VND)")
    price.yaxis.set_major_formatter(_formatter(lambda value: f"{value:,.0f}"))
    # No tick label at the bottom edge, where the panel beneath puts its axis label.
    price.yaxis.set_major_locator(MaxNLocator(nbins=6, prune="lower"))

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


def _key(price: Any, handles: Sequence[Any], columns: int) -> Any:
    """The legend of the candles, above their axes (in place of any before)."""
    return price.legend(
        handles=handles,
        loc="lower left",
        bbox_to_anchor=(0.0, 1.0),
        borderaxespad=0.2,
        fontsize=8,
        frameon=False,
        ncol=columns,
    )


def _with_gaps(table: "pd.DataFrame", figures: Sequence[str]) -> "pd.DataFrame":
    """``table`` with NaN in ``figures`` (those it has) of each row in which they are
    all zero: the service's way of sending a day without data."""
    present = [name for name in figures if name in table.columns]
    if not present or not len(table):
        return table
    empty = (table[present] == 0).all(axis=1)
    if not empty.any():
        return table
    table = table.astype({name: "float64" for name in present})
    table.loc[empty, present] = float("nan")
    return table


def _partial_slots(dates: "pd.Index", period: str, start: str, end: str, today: Optional[datetime.date]) -> List[int]:
    """The slots (0 and/or the last) whose period has a weekday before ``start`` or
    after ``end`` or ``today``: those the bar sums over only part of. Weekends do not
    count, so a week that ``end`` leaves on its Friday is whole. A rule that pandas
    cannot read as a calendar offset, or a range that is not dates, marks nothing."""
    import numpy as np
    import pandas as pd

    if today is None:
        from quorvex.store import today as day_in_vietnam

        today = day_in_vietnam()
    try:
        offset = pd.tseries.frequencies.to_offset(period)
        first = pd.Timestamp(start).normalize()
        last = min(pd.Timestamp(end).normalize(), pd.Timestamp(today))
    except (TypeError, ValueError):
        return []
    at_the_end = offset.rule_code.split("-")[0] in _LABELLED_AT_THE_END
    one_day = pd.Timedelta(days=1)
    found = []
    for at in sorted({0, len(dates) - 1}):
        label = pd.Timestamp(dates[at]).tz_localize(None).normalize()
        if at_the_end:
            low, high = label - offset + one_day, label
        else:
            low, high = label, label + offset - one_day
        before = np.busday_count(low.date(), first.date()) if low < first else 0
        after = np.busday_count((last + one_day).date(), (high + one_day).date()) if high > last else 0
        if before > 0 and at == 0 or after > 0 and at == len(dates) - 1:
            found.append(at)
    return found


def _mark_partial(patch: Any, colour: str) -> None:
    """Hatch a partial period's bar and lighten its fill."""
    from matplotlib.colors import to_rgba

    patch.set_facecolor(to_rgba(colour, 0.3))
    patch.set_edgecolor(colour)
    patch.set_hatch("////")
    patch.set_linewidth(0.6)


def _signed_bars(
    ax: Any, *, xs: Sequence[int], values: "pd.DataFrame", panel: Panel, partial: Sequence[int] = ()
) -> None:
    """One column as bars, green above zero and red below; a period without a row has
    no bar (NaN), not a bar of zero; a partial period's bar is hatched."""
    column = values.iloc[:, 0].tolist()
    colours = [UP if value >= 0 else DOWN for value in column]
    bars = ax.bar(xs, column, width=0.7, color=colours, alpha=0.8)
    for at in partial:
        _mark_partial(bars.patches[at], colours[at])
    ax.axhline(0, color=TEXT, linewidth=0.6)


def _lines(ax: Any, *, xs: Sequence[int], values: "pd.DataFrame", panel: Panel, partial: Sequence[int] = ()) -> None:
    """One line per column (buy green, sell red); a period without a row breaks the
    line (NaN), so that a gap looks like a gap and not like a dip to zero. A value with
    gaps on both sides, which a line cannot show, is a dot; a partial period's value
    is a hollow ring. The legend stands to the right of the axes, off the lines."""
    import numpy as np

    colours = [UP, DOWN, TEXT]
    for at, name in enumerate(panel.columns):
        label = panel.legend[at] if at < len(panel.legend) else ""
        column = values[name].to_numpy(dtype="float64")
        known = ~np.isnan(column)
        before = np.concatenate(([False], known[:-1]))
        after = np.concatenate((known[1:], [False]))
        alone = [int(i) for i in np.flatnonzero(known & ~before & ~after)]
        colour = colours[at % 3]
        dots = {"marker": "o", "markersize": 2.5, "markevery": alone} if alone else {}
        ax.plot(xs, column.tolist(), color=colour, linewidth=1.4, label=label or None, **dots)
        rings = [i for i in partial if known[i]]
        if rings:
            ax.plot(
                [xs[i] for i in rings],
                column[rings].tolist(),
                linestyle="none",
                marker="o",
                markersize=5,
                markerfacecolor="white",
                markeredgecolor=colour,
            )
    ax.yaxis.set_major_formatter(_formatter(_short_number))
    if any(panel.legend):
        ax.legend(loc="center left", bbox_to_anchor=(1.0, 0.5), borderaxespad=0.3, fontsize=8, frameon=False)


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
