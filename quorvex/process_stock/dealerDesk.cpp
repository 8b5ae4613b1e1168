// quorvex.process_stock.dealerDesk: get_dealerDesk, the net value of dealers' own-account
// trading in one ticker, divided by the caller's unit.
#include "pipeline/request_pipeline.h"

namespace quorvex::dealer_desk {
namespace {

using frame::FunctionSpec;
using frame::StringEntry;
using frame::StringKind;

PyObject *str_get_dealerDesk, *str_doc, *str_path, *str_dealerDeskNetValue;
PyObject *code_get_dealerDesk;

const StringEntry own_strings[] = {
    {.slot = &str_get_dealerDesk, .utf8 = "get_dealerDesk", .kind = StringKind::Identifier},
    {.slot = &str_doc,
     .utf8 = "get_dealerDesk(ticker, fromDate, toDate, period, unit)",
     .kind = StringKind::Literal},
    {.slot = &str_path, .utf8 = "/api/stock/dealerDesk", .kind = StringKind::Literal},
    {.slot = &str_dealerDeskNetValue, .utf8 = "dealerDeskNetValue", .kind = StringKind::Identifier},
    {},
};

PyObject **const empty_columns[] = {&pipeline::str_DateTime, &str_dealerDeskNetValue, nullptr};
PyObject **const net_value[] = {&str_dealerDeskNetValue, nullptr};

// The columns whose cells the answer's rows must hold as numbers and as date texts.
PyObject **const date_columns[] = {&pipeline::str_DateTime, nullptr};

const pipeline::Series series = {
    .endpoint = {.path = &str_path,
                 .empty_columns = empty_columns,
                 .figures = net_value,
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
                           .fail = 34}},
    .regroup = {.columns = net_value, .line = 28, .ticker_line = 29},
    .scaling = {.columns = net_value, .list_line = 30, .line = 31},
};

constexpr FunctionSpec get_dealerDesk_spec = {
    .name = &str_get_dealerDesk,
    .qualname = &str_get_dealerDesk,
    .doc = &str_doc,
    .varnames = pipeline::locals_period_unit,
    .argcount = 5,
    .flags = CO_OPTIMIZED | CO_NEWLOCALS,
    .first_line = 9,
    .traceback_name = "quorvex.process_stock.dealerDesk.get_dealerDesk",
    .code = &code_get_dealerDesk,
    .body = pipeline::series_body,
    .context = &series,
};

}  // namespace
}  // namespace quorvex::dealer_desk

const quorvex::frame::ModuleSpec quorvex::frame::module_spec = pipeline::data_module({
    .short_name = "dealerDesk",
    .dotted_name = "quorvex.process_stock.dealerDesk",
    .own_strings = dealer_desk::own_strings,
    .function = &dealer_desk::get_dealerDesk_spec,
});

PyMODINIT_FUNC
PyInit_dealerDesk(void)
{
    return quorvex::frame::module_init();
}
