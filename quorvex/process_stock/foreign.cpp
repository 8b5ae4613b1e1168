// quorvex.process_stock.foreign: get_foreign, foreign investors' bought and sold volumes
// and values of one ticker, with the money columns divided by the caller's unit.
#include "pipeline/request_pipeline.h"

namespace quorvex::foreign {
namespace {

using frame::FunctionSpec;
using frame::StringEntry;
using frame::StringKind;

PyObject *str_get_foreign, *str_doc, *str_path, *str_Close, *str_buyForeignVolume,
    *str_sellForeignVolume, *str_buyForeignValue, *str_sellForeignValue, *str_netForeignValue;
PyObject *code_get_foreign;

const StringEntry own_strings[] = {
    {.slot = &str_get_foreign, .utf8 = "get_foreign", .kind = StringKind::Identifier},
    {.slot = &str_doc,
     .utf8 = "get_foreign(ticker, fromDate, toDate, period, unit)",
     .kind = StringKind::Literal},
    {.slot = &str_path, .utf8 = "/api/stock/foreign", .kind = StringKind::Literal},
    {.slot = &str_Close, .utf8 = "Close", .kind = StringKind::Identifier},
    {.slot = &str_buyForeignVolume, .utf8 = "buyForeignVolume", .kind = StringKind::Identifier},
    {.slot = &str_sellForeignVolume, .utf8 = "sellForeignVolume", .kind = StringKind::Identifier},
    {.slot = &str_buyForeignValue, .utf8 = "buyForeignValue", .kind = StringKind::Identifier},
    {.slot = &str_sellForeignValue, .utf8 = "sellForeignValue", .kind = StringKind::Identifier},
    {.slot = &str_netForeignValue, .utf8 = "netForeignValue", .kind = StringKind::Identifier},
    {},
};

PyObject **const empty_columns[] = {
    &pipeline::str_DateTime, &str_Close,
    &str_buyForeignVolume,   &str_sellForeignVolume,
    &str_buyForeignValue,    &str_sellForeignValue,
    &str_netForeignValue,    nullptr,
};

// The columns whose cells the answer's rows must hold as numbers and as date texts.
PyObject **const figure_columns[] = {
    &str_buyForeignVolume,
    &str_sellForeignVolume,
    &str_buyForeignValue,
    &str_sellForeignValue,
    &str_netForeignValue,
    &str_Close,
    nullptr,
};
PyObject **const date_columns[] = {&pipeline::str_DateTime, nullptr};

// The period's last close; every flow is added up.
const pipeline::Aggregation aggregations[] = {
    {.column = &str_Close, .how = &pipeline::str_last},
    {.column = &str_buyForeignVolume, .how = &pipeline::str_sum},
    {.column = &str_sellForeignVolume, .how = &pipeline::str_sum},
    {.column = &str_buyForeignValue, .how = &pipeline::str_sum},
    {.column = &str_sellForeignValue, .how = &pipeline::str_sum},
    {.column = &str_netForeignValue, .how = &pipeline::str_sum},
    {},
};

PyObject **const value_columns[] = {
    &str_buyForeignValue,
    &str_sellForeignValue,
    &str_netForeignValue,
    nullptr,
};

const pipeline::Series series = {
    .endpoint = {.path = &str_path,
                 .empty_columns = empty_columns,
                 .figures = figure_columns,
                 .dates = date_columns,
                 .lines = {.client = 8,
                           .headers = 9,
                           .url = 10,
                           .params = 12,
                           .get = 16,
                           .get_kwargs = 17,
                           .status = 21,
                           .table = 22,
                           .to_datetime = 23,
                           .set_index = 24,
                           .period = 25,
                           .fail = 39}},
    .regroup = {.aggregations = aggregations, .line = 26, .dict_line = 27, .ticker_line = 34},
    .scaling = {.columns = value_columns, .list_line = 35, .line = 36},
};

constexpr FunctionSpec get_foreign_spec = {
    .name = &str_get_foreign,
    .qualname = &str_get_foreign,
    .doc = &str_doc,
    .varnames = pipeline::locals_period_unit,
    .argcount = 5,
    .flags = CO_OPTIMIZED | CO_NEWLOCALS,
    .first_line = 7,
    .traceback_name = "quorvex.process_stock.foreign.get_foreign",
    .code = &code_get_foreign,
    .body = pipeline::series_body,
    .context = &series,
};

}  // namespace
}  // namespace quorvex::foreign

const quorvex::frame::ModuleSpec quorvex::frame::module_spec = pipeline::data_module({
    .short_name = "foreign",
    .dotted_name = "quorvex.process_stock.foreign",
    .own_strings = foreign::own_strings,
    .function = &foreign::get_foreign_spec,
});

PyMODINIT_FUNC
PyInit_foreign(void)
{
    return quorvex::frame::module_init();
}
