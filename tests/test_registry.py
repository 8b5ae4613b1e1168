"""The registry of data sets against the compiled modules it names, and the places that
read it: each row's function, parameters, endpoint, figure and date columns are what the
module does, and every compiled data module has a row."""

import importlib
import json
import pkgutil

import pandas as pd
import pytest

import quorvex
from quorvex import datasets, remote
from quorvex.datasets import DATASETS

ROWS = pytest.mark.parametrize("name", DATASETS)


def function_of(dataset):
    return getattr(importlib.import_module(dataset.module), dataset.function)


def test_every_compiled_data_module_has_a_row():
    import quorvex.process_stock as package

    compiled = {f"{package.__name__}.{info.name}" for info in pkgutil.iter_modules(package.__path__)}
    assert compiled == {dataset.module for dataset in DATASETS.values()}
    # The places that list the data sets read this table.
    assert remote.DATASETS is DATASETS
    assert {d.function for d in DATASETS.values()} <= set(quorvex.__all__)
    assert all(getattr(quorvex, d.function) is function_of(d) for d in DATASETS.values())


def arguments(dataset):
    return ("FPT", "2024-01-01", "2024-01-31") + ("D",) * dataset.has_period + (1,) * dataset.has_unit


@pytest.mark.timeout(30)
@ROWS
def test_endpoint_and_columns_are_those_the_module_uses(name, httpserver, logged_in):
    """The module requests the row's endpoint; a figure sent as text is refused naming
    that figure (the module's cell check), a column outside the figures is not; the
    date columns become timestamps (the index of a time series)."""
    dataset = DATASETS[name]
    row = {date: "2024-01-05" for date in dataset.dates}
    row.update({figure: 1000 for figure in dataset.figures})
    row["note"] = "a text"
    httpserver.expect_request(dataset.endpoint).respond_with_json([row])
    table = function_of(dataset)(*arguments(dataset))
    assert [request.path for request, _ in httpserver.log] == [dataset.endpoint]
    if dataset.is_series:
        assert table.index.name == datasets.DATE_INDEX
        assert isinstance(table.index, pd.DatetimeIndex)
    for date in dataset.dates:
        if date != datasets.DATE_INDEX:
            assert pd.api.types.is_datetime64_any_dtype(table[date]), date
    assert table["note"].tolist() == ["a text"]

    for figure in dataset.figures:
        httpserver.clear()
        httpserver.expect_request(dataset.endpoint).respond_with_json([{**row, figure: "1000"}])
        with pytest.raises(ValueError, match=f"column '{figure}' .* not a number"):
            function_of(dataset)(*arguments(dataset))


@pytest.mark.timeout(30)
@pytest.mark.parametrize("name", [name for name, dataset in DATASETS.items() if dataset.has_unit])
def test_the_scaled_columns_are_those_the_unit_divides(name, httpserver, logged_in):
    dataset = DATASETS[name]
    row = {"DateTime": "2024-01-02", **{figure: 8 for figure in dataset.figures}}
    httpserver.expect_request(dataset.endpoint).respond_with_data(json.dumps([row]), content_type="application/json")
    whole, quarter = (function_of(dataset)("FPT", "2024-01-01", "2024-01-31", "D", unit) for unit in (1, 4))
    assert tuple(column for column in whole.columns if quarter[column].iloc[0] == 2) == dataset.scaled
    assert all(quarter[column].iloc[0] == 8 for column in whole.columns if column not in dataset.scaled)


def test_chart_panels_draw_figures_of_their_data_set():
    for name, panel in datasets.CHART_PANELS.items():
        assert set(panel.columns) <= set(DATASETS[name].figures)
        assert panel.style in ("signed", "lines")
    assert datasets.by_function("get_match_book") == ("matchBook", DATASETS["matchBook"])
    with pytest.raises(KeyError):
        datasets.by_function("get_nothing")
