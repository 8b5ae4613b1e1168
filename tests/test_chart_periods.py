"""The chart at 900×600 with both panels: no two of its texts overlap and none is cut off,
a week without a row is drawn as a gap (not as zero), and a legend explains the candle
colours and the last-close tag. Over long and daily ranges: no legend covers a candle, a
bar or a line (told from the artists' extents), a partial first or last period is marked,
and a missing value is a gap on every period while a real zero stays a zero."""

import datetime
import itertools
import math
import warnings

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("matplotlib")
with warnings.catch_warnings():
    # Some matplotlib and pyparsing pairs warn of a renamed pyparsing call at import.
    warnings.simplefilter("ignore", DeprecationWarning)
    import matplotlib.backends.backend_agg  # noqa: E402, F401
    from matplotlib.transforms import Bbox  # noqa: E402

from quorvex import chart  # noqa: E402

TODAY = datetime.date(2026, 6, 10)  # a Wednesday, after every range below unless a case says so
BOOK = ("buyCount", "buyVolume", "sellCount", "sellVolume")


def tables(index, seed=5):
    """Price bars that rise and fall, with both panels, on ``index``."""
    rng = np.random.default_rng(seed)
    close = 95_000 + np.cumsum(rng.normal(0, 1500, len(index)))
    opens = close + rng.choice([-900, 900], len(index))
    bars = pd.DataFrame(
        {
            "ticker": "FPT",
            "Open": opens,
            "High": np.maximum(opens, close) + 1500,
            "Low": np.minimum(opens, close) - 1500,
            "Close": close,
            "Volume": rng.integers(5_000_000, 15_000_000, len(index)),
        },
        index=index,
    )
    book = pd.DataFrame({name: rng.integers(3000, 9000, len(index)) for name in BOOK}, index=index)
    foreign = pd.DataFrame({"Close": close, "netForeignValue": rng.normal(0, 5e10, len(index))}, index=index)
    return bars, {"foreign": foreign, "matchBook": book}


def draw(bars, panels=None, *, period, start, end, today=TODAY, size=(1200, 800)):
    return chart.figure(bars, ticker="FPT", start=start, end=end, period=period, panels=panels, size=size, today=today)


# --- Legends ----------------------------------------------------------------------------


def data_boxes(ax):
    """The display boxes of what the axes draw: each bar, each wick and each segment of
    each line (a segment between two known points; NaN breaks a line)."""
    renderer = ax.figure.canvas.get_renderer()
    boxes = []
    for patch in ax.patches:
        if not any(math.isnan(v) for v in (patch.get_x(), patch.get_y(), patch.get_width(), patch.get_height())):
            boxes.append(patch.get_window_extent(renderer))
    pieces = [c.get_transform().transform(np.asarray(s)) for c in ax.collections for s in c.get_segments()]
    for line in ax.get_lines():
        pieces.append(line.get_transform().transform(np.column_stack(line.get_data(orig=False))))
    for points in pieces:
        for a, b in zip(points[:-1], points[1:]):
            if not np.isnan(a).any() and not np.isnan(b).any():
                boxes.append(Bbox([np.minimum(a, b), np.maximum(a, b)]))
    return boxes


WEEKS_5Y = pd.date_range("2021-01-10", "2025-12-28", freq="W", name="DateTime")
DAYS_1Y = pd.bdate_range("2025-01-02", "2025-12-31", name="DateTime")


@pytest.mark.parametrize(
    "index, period, start, end, size",
    [
        (WEEKS_5Y, "W", "2021-01-04", "2025-12-28", (1200, 800)),  # the long chart whose legend sat over candles
        (DAYS_1Y, "D", "2025-01-01", "2025-12-31", (1200, 800)),  # the one whose legend sat over the buy line
        (WEEKS_5Y[:30], "W", "2021-01-06", "2021-07-28", (600, 400)),  # a key of four entries cut by the edge
    ],
    ids=["5-year weekly", "daily", "small, both ends partial"],
)
def test_no_legend_covers_a_candle_a_bar_or_a_line(index, period, start, end, size):
    bars, panels = tables(index)
    sheet = draw(bars, panels, period=period, start=start, end=end, size=size)
    renderer = sheet.canvas.get_renderer()
    legends = [ax.get_legend() for ax in sheet.axes if ax.get_legend() is not None]
    assert len(legends) == 2  # the candles' and the order lines'
    drawn = [(ax.get_ylabel(), box) for ax in sheet.axes for box in data_boxes(ax)]
    assert len(drawn) > 4 * len(index)
    title = sheet._suptitle.get_window_extent(renderer)
    for legend in legends:
        box = legend.get_window_extent(renderer)
        assert 0 <= box.x0 and box.x1 <= sheet.bbox.width and 0 <= box.y0 and box.y1 <= sheet.bbox.height
        assert not box.overlaps(title)
        covered = [name for name, extent in drawn if box.overlaps(extent)]
        assert not covered, (legend.get_texts()[0].get_text(), covered[:3])


# --- Partial periods --------------------------------------------------------------------


def hatched(sheet, axes=0):
    """The slots whose bar (of the candles' axes unless told) is hatched."""
    return [at for at, patch in enumerate(sheet.axes[axes].patches) if patch.get_hatch()]


def legend_words(sheet):
    return [text.get_text() for text in sheet.axes[0].get_legend().get_texts()]


# (rule, first label, labels, fromDate, toDate, slots marked, legend note); today is TODAY; the labels
# are of the rule (business days for "D").
PARTIAL_CASES = [
    # a week that starts on a Wednesday drawn as whole
    ("W", "2024-01-07", 10, "2024-01-03", "2024-03-10", [0], "first week partial"),
    # a week of 3 trading days after toDate drawn as whole
    ("W", "2024-01-07", 10, "2024-01-01", "2024-03-06", [9], "last week partial"),
    # both ends partial, one noted
    ("W", "2024-01-07", 10, "2024-01-05", "2024-03-07", [0, 9], "first and last week partial"),
    # a week ended on its Friday marked partial for its weekend
    ("W", "2024-01-07", 10, "2024-01-01", "2024-03-08", [], None),
    # a range that begins on the weekend before the week marked
    ("W", "2024-01-07", 10, "2023-12-30", "2024-03-10", [], None),
    # a week not over yet (today a Wednesday) drawn as whole
    ("W", "2026-04-12", 10, "2026-04-06", "2026-12-31", [9], "last week partial"),
    # a month cut by toDate drawn as whole
    ("ME", "2024-01-31", 6, "2024-01-01", "2024-06-14", [5], "last month partial"),
    # whole months marked
    ("ME", "2024-01-31", 6, "2024-01-01", "2024-06-30", [], None),
    # a month labelled by its first day, cut by toDate, drawn as whole
    ("MS", "2024-01-01", 6, "2024-01-01", "2024-06-14", [5], "last month partial"),
    # a quarter begun mid-way drawn as whole
    ("QE", "2024-03-31", 4, "2024-02-15", "2024-12-31", [0], "first quarter partial"),
    # a day marked partial
    ("D", "2024-01-02", 5, "2024-01-01", "2024-01-08", [], None),
]


@pytest.mark.parametrize("rule, first, count, start, end, slots, note", PARTIAL_CASES)
def test_a_partial_first_or_last_period_is_marked(rule, first, count, start, end, slots, note):
    labels = pd.date_range(first, periods=count, freq="B" if rule == "D" else rule, name="DateTime")
    bars, _ = tables(labels)
    sheet = draw(bars, period=rule, start=start, end=end, size=(900, 600))
    assert hatched(sheet) == hatched(sheet, 1) == slots  # the candles and the volumes
    notes = [word for word in legend_words(sheet) if "partial" in word]
    assert notes == ([note] if note else [])


def test_a_partial_period_is_marked_on_the_panels_too():
    """The order counts of a 3-day week look like a collapse unless the point says why."""
    bars, panels = tables(pd.date_range("2024-01-07", periods=8, freq="W", name="DateTime"))
    sheet = draw(bars, panels, period="W", start="2024-01-01", end="2024-02-21", size=(900, 700))
    assert hatched(sheet, 2) == [7]  # the foreign bars
    rings = [line for line in sheet.axes[3].get_lines() if line.get_linestyle() == "None"]
    assert sorted(float(line.get_xdata()[0]) for line in rings) == [7.0, 7.0]


# --- Missing values and real zeros ------------------------------------------------------


def test_a_day_without_order_data_is_a_gap_and_a_real_zero_stays():
    """The service sends a day without order data as four zeros: drawn as such, the
    daily lines dropped to 0 where the weekly ones (whose empty weeks are dropped) had
    gaps. A count of 0 beside other figures of its day is real."""
    days = pd.bdate_range("2025-03-03", periods=20, name="DateTime")
    bars, panels = tables(days)
    book = panels["matchBook"]
    book.iloc[5] = 0  # no data that day
    book.iloc[[11, 13]] = 0  # day 12 alone between two gaps
    book.iloc[8, book.columns.get_loc("sellCount")] = 0  # a real zero: the day has other figures
    book.iloc[8, book.columns.get_loc("sellVolume")] = 0
    foreign = panels["foreign"]
    foreign.iloc[3] = 0  # every foreign figure zero: no data
    foreign.iloc[6, foreign.columns.get_loc("netForeignValue")] = 0  # buys equal sells that day
    sheet = draw(bars, panels, period="D", start="2025-03-03", end="2025-03-28", size=(900, 700))
    _, _, foreign_ax, book_ax = sheet.axes
    buy, sell = book_ax.get_lines()[:2]
    for line in (buy, sell):
        values = line.get_ydata()
        assert [at for at, v in enumerate(values) if math.isnan(v)] == [5, 11, 13]
    assert sell.get_ydata()[8] == 0 and buy.get_ydata()[8] > 0
    # The day between two gaps, which a line alone cannot show, is a dot.
    assert 12 in list(buy.get_markevery() or [])
    heights = [patch.get_height() for patch in foreign_ax.patches]
    assert math.isnan(heights[3]) and heights[6] == 0
    assert not any(math.isnan(h) for at, h in enumerate(heights) if at != 3)


def test_a_bar_without_prices_is_a_gap_with_no_volume():
    """A day served as prices of 0 drawn as a candle at 0 squashes the chart; its volume
    is unknown too, not a bar."""
    days = pd.bdate_range("2025-03-03", periods=10, name="DateTime")
    bars, _ = tables(days)
    bars.iloc[4, 1:5] = 0
    sheet = draw(bars, period="D", start="2025-03-03", end="2025-03-14", size=(900, 600))
    price, volume = sheet.axes
    assert math.isnan(price.patches[4].get_height()) and math.isnan(volume.patches[4].get_height())
    assert price.get_ylim()[0] > 50_000


# --- The 900×600 chart with both panels ------------------------------------------------

WEEKS = pd.date_range("2024-01-07", periods=30, freq="W", name="DateTime")
GAP = 12  # the week without an order-match row, nor a foreign one


@pytest.fixture(scope="module")
def sheet():
    """The chart of WEEKS with both panels, the week GAP without a row."""
    bars, panels = tables(WEEKS, seed=7)
    bars.iloc[GAP, 1:] = np.nan  # a week without trading days, as resampling gives it
    panels = {name: table.drop(WEEKS[GAP]) for name, table in panels.items()}
    return draw(bars, panels, period="W", start="2024-01-01", end="2024-07-31", size=(900, 600))


def texts(sheet):
    """Every visible, non-empty text of the axes: labels, tick labels, legends and tags."""
    found = []
    for ax in sheet.axes:
        found.append(ax.yaxis.label)
        found += [label for label in ax.get_yticklabels() if label.get_visible()]
        found += [label for label in ax.get_xticklabels() if label.get_visible()]
        found += [child for child in ax.get_children() if type(child).__name__ == "Annotation"]
        if ax.get_legend() is not None:
            found += ax.get_legend().get_texts()
    return [text for text in found if text.get_visible() and text.get_text().strip()]


def test_no_two_labels_overlap_and_none_is_cut(sheet):
    renderer = sheet.canvas.get_renderer()
    boxes = [(text.get_text(), text.get_window_extent(renderer)) for text in texts(sheet)]
    assert len(boxes) > 15
    width, height = sheet.bbox.width, sheet.bbox.height
    for name, box in boxes:
        assert box.x0 >= 0 and box.y0 >= 0 and box.x1 <= width and box.y1 <= height, (name, box)
    for (one, a), (other, b) in itertools.combinations(boxes, 2):
        assert not a.overlaps(b), (one, other)


def test_a_week_without_a_row_is_a_gap(sheet):
    price, volume, foreign, book = sheet.axes
    for ax in (price, volume):  # every week keeps its slot; the empty one has no bar
        heights = [patch.get_height() for patch in ax.patches]
        assert len(heights) == len(WEEKS) and math.isnan(heights[GAP]), ax.get_ylabel()
    for line in book.get_lines():
        values = line.get_ydata()
        assert math.isnan(values[GAP]) and not any(math.isnan(v) for i, v in enumerate(values) if i != GAP)
    heights = [patch.get_height() for patch in foreign.patches]
    assert len(heights) == len(WEEKS) and math.isnan(heights[GAP])
    assert min(abs(h) for i, h in enumerate(heights) if i != GAP) > 0


def test_a_legend_explains_the_colours_and_the_last_close(sheet):
    legend = sheet.axes[0].get_legend()
    assert legend is not None
    words = [text.get_text() for text in legend.get_texts()]
    assert any("close ≥ open" in w for w in words) and any("close < open" in w for w in words)
    assert any("last close" in w for w in words)
