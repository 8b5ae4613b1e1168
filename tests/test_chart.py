"""The chart at 900×600 with both panels: no two of its texts overlap and none is cut off,
a week without a row is drawn as a gap (not as zero), and a legend explains the candle
colours and the last-close tag."""

import itertools
import math
import warnings

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("matplotlib")
with warnings.catch_warnings():
    # Some matplotlib and pyparsing pairs warn of a renamed pyparsing call at import;
    # that is theirs, not the chart's.
    warnings.simplefilter("ignore", DeprecationWarning)
    import matplotlib.backends.backend_agg  # noqa: E402, F401

from quorvex import chart  # noqa: E402

WEEKS = pd.date_range("2024-01-07", periods=30, freq="W", name="DateTime")
GAP = 12  # the week without an order-match row, nor a foreign one


def tables():
    rng = np.random.default_rng(7)
    close = 95_000 + np.cumsum(rng.normal(0, 1500, len(WEEKS)))
    bars = pd.DataFrame(
        {
            "ticker": "FPT",
            "Open": close - 800,
            "High": close + 2000,
            "Low": close - 2500,
            "Close": close,
            "Volume": rng.integers(5_000_000, 15_000_000, len(WEEKS)),
        },
        index=WEEKS,
    )
    bars.iloc[3, bars.columns.get_loc("Close")] = bars["Open"].iloc[3] - 500  # a falling week
    bars.iloc[GAP, 1:] = np.nan  # a week without trading days, as resampling gives it
    book = pd.DataFrame(
        {name: rng.integers(3000, 9000, len(WEEKS)) for name in ("buyCount", "buyVolume", "sellCount", "sellVolume")},
        index=WEEKS,
    ).drop(WEEKS[GAP])
    foreign = pd.DataFrame({"netForeignValue": rng.normal(0, 5e10, len(WEEKS))}, index=WEEKS).drop(WEEKS[GAP])
    return bars, {"foreign": foreign, "matchBook": book}


@pytest.fixture(scope="module")
def sheet():
    bars, panels = tables()
    return chart.figure(
        bars, ticker="FPT", start="2024-01-01", end="2024-07-31", period="W", panels=panels, size=(900, 600)
    )


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
