// quorvex.process_stock.pricebars: get_pricebars, the open, high, low, close and volume
// bars of one ticker, as served (period "D") or regrouped by a pandas resample rule.
#include "pipeline/request_pipeline.h"

namespace quorvex::pricebars {
namespace {

using frame::FunctionSpec;
using frame::Statement;
using frame::StatementKind;
using frame::StringEntry;
using frame::StringKind;

PyObject *str_get_pricebars, *str_doc, *str_path, *str_str, *str_datetime;
PyObject *str_Open, *str_High, *str_Low, *str_Close, *str_Volume;
PyObject *code_get_pricebars;

const StringEntry own_strings[] = {
    {.slot = &str_get_pricebars, .utf8 = "get_pricebars", .kind = StringKind::Identifier},
    {.slot = &str_doc,
     .utf8 = "get_pricebars(unicode ticker: str, unicode fromDate: str, unicode toDate: str, "
             "unicode period: str)",
     .kind = StringKind::Literal},
    {.slot = &str_path, .utf8 = "/api/stock/pricebars", .kind = StringKind::Literal},
    {.slot = &str_str, .utf8 = "str", .kind = StringKind::Literal},
    {.slot = &str_datetime, .utf8 = "datetime", .kind = StringKind::Identifier},
    {.slot = &str_Open, .utf8 = "Open", .kind = StringKind::Identifier},
    {.slot = &str_High, .utf8 = "High", .kind = StringKind::Identifier},
    {.slot = &str_Low, .utf8 = "Low", .kind = StringKind::Identifier},
    {.slot = &str_Close, .utf8 = "Close", .kind = StringKind::Identifier},
    {.slot = &str_Volume, .utf8 = "Volume", .kind = StringKind::Identifier},
    {},
};

PyObject **const empty_columns[] = {
    &pipeline::str_DateTime, &str_Open, &str_High, &str_Low, &str_Close, &str_Volume, nullptr,
};

// The columns whose cells the answer's rows must hold as numbers and as date texts.
PyObject **const figure_columns[] = {&str_Open,  &str_High,   &str_Low,
                                     &str_Close, &str_Volume, nullptr};
PyObject **const date_columns[] = {&pipeline::str_DateTime, nullptr};

// A regrouped bar is a bar of the whole period: first open, highest high, lowest low,
// last close, total volume.
const pipeline::Aggregation bar_aggregations[] = {
    {.column = &str_Open, .how = &pipeline::str_first},
    {.column = &str_High, .how = &pipeline::str_max},
    {.column = &str_Low, .how = &pipeline::str_min},
    {.column = &str_Close, .how = &pipeline::str_last},
    {.column = &str_Volume, .how = &pipeline::str_sum},
    {},
};

const pipeline::Series series = {
    .endpoint = {.path = &str_path,
                 .empty_columns = empty_columns,
                 .figures = figure_columns,
                 .dates = date_columns,
                 .lines = {.client = 10,
                           .headers = 11,
                           .url = 12,
                           .params = 14,
                           .get = 18,
                           .get_kwargs = 19,
                           .status = 23,
                           .table = 24,
                           .to_datetime = 25,
                           .set_index = 26,
                           .period = 27,
                           .fail = 40}},
    .regroup = {.aggregations = bar_aggregations, .line = 28, .dict_line = 29, .ticker_line = 37},
};

constexpr FunctionSpec get_pricebars_spec = {
    .name = &str_get_pricebars,
    .qualname = &str_get_pricebars,
    .doc = &str_doc,
    .varnames = pipeline::locals_period,
    .argcount = 4,
    .flags = CO_OPTIMIZED | CO_NEWLOCALS,
    .first_line = 9,
    .traceback_name = "quorvex.process_stock.pricebars.get_pricebars",
    .code = &code_get_pricebars,
    .body = pipeline::series_body,
    .exact_str = true,
    .annotation = &str_str,
    .context = &series,
};

const Statement own_statements[] = {
    {.line = 6, .kind = StatementKind::ImportFrom, .module = &str_datetime, .name = &str_datetime},
    {},
};

}  // namespace
}  // namespace quorvex::pricebars

const quorvex::frame::ModuleSpec quorvex::frame::module_spec = pipeline::data_module({
    .short_name = "pricebars",
    .dotted_name = "quorvex.process_stock.pricebars",
    .own_strings = pricebars::own_strings,
    .own_statements = pricebars::own_statements,
    .function = &pricebars::get_pricebars_spec,
});

PyMODINIT_FUNC
PyInit_pricebars(void)
{
    return quorvex::frame::module_init();
}
