// quorvex.process_stock.pricebars: get_pricebars, the open, high, low, close and volume
// bars of one ticker, as served (period "D") or regrouped by a pandas resample rule.
#include "../../pipeline/request_pipeline.h"

namespace quorvex::frame {
namespace {

PyObject *str_get_pricebars, *str_doc, *str_path, *str_str, *str_datetime;
PyObject *str_Open, *str_High, *str_Low, *str_Close, *str_Volume;
PyObject *code_get_pricebars;

const StringEntry own_strings[] = {
    {&str_get_pricebars, "get_pricebars", true},
    {&str_doc,
     "get_pricebars(unicode ticker: str, unicode fromDate: str, unicode toDate: str, "
     "unicode period: str)",
     false},
    {&str_path, "/api/stock/pricebars", false},
    {&str_str, "str", false},
    {&str_datetime, "datetime", true},
    {&str_Open, "Open", true},
    {&str_High, "High", true},
    {&str_Low, "Low", true},
    {&str_Close, "Close", true},
    {&str_Volume, "Volume", true},
    {nullptr, nullptr, false},
};

PyObject **const empty_columns[] = {
    &pipeline::str_DateTime, &str_Open, &str_High, &str_Low, &str_Close, &str_Volume, nullptr,
};

// A regrouped bar is a bar of the whole period: first open, highest high, lowest low,
// last close, total volume.
PyObject **const bar_aggregations[] = {
    &str_Open,  &pipeline::str_first, &str_High,   &pipeline::str_max,
    &str_Low,   &pipeline::str_min,   &str_Close,  &pipeline::str_last,
    &str_Volume, &pipeline::str_sum,  nullptr,
};

const pipeline::Series series = {
    {&str_path, empty_columns, {10, 11, 12, 14, 18, 19, 23, 24, 25, 26, 27, 40}},
    {bar_aggregations, nullptr, 28, 29, 0, 37},
    {nullptr, 0, 0},
};

const FunctionSpec get_pricebars_spec = {
    &str_get_pricebars, &str_get_pricebars, &str_doc, pipeline::locals_period, 4,
    CO_OPTIMIZED | CO_NEWLOCALS, 9, "quorvex.process_stock.pricebars.get_pricebars",
    &code_get_pricebars, pipeline::series_body, nullptr, true, &str_str, &series,
};

const Statement own_statements[] = {
    {6, StatementKind::ImportFrom, &str_datetime, &str_datetime, nullptr},
    {0, StatementKind::Import, nullptr, nullptr, nullptr},
};

}  // namespace

const ModuleSpec module_spec = pipeline::data_module(
    "pricebars", "quorvex.process_stock.pricebars", own_strings, own_statements,
    &get_pricebars_spec);

}  // namespace quorvex::frame

PyMODINIT_FUNC
PyInit_pricebars(void)
{
    return quorvex::frame::module_init();
}
