// quorvex.process_stock.dealerDesk: get_dealerDesk, the net value of dealers' own-account
// trading in one ticker, divided by the caller's unit.
#include "../../pipeline/request_pipeline.h"

namespace quorvex::frame {
namespace {

PyObject *str_get_dealerDesk, *str_doc, *str_path, *str_dealerDeskNetValue;
PyObject *code_get_dealerDesk;

const StringEntry own_strings[] = {
    {&str_get_dealerDesk, "get_dealerDesk", true},
    {&str_doc, "get_dealerDesk(ticker, fromDate, toDate, period, unit)", false},
    {&str_path, "/api/stock/dealerDesk", false},
    {&str_dealerDeskNetValue, "dealerDeskNetValue", true},
    {nullptr, nullptr, false},
};

PyObject **const empty_columns[] = {&pipeline::str_DateTime, &str_dealerDeskNetValue, nullptr};
PyObject **const net_value[] = {&str_dealerDeskNetValue, nullptr};

const pipeline::Series series = {
    {&str_path, empty_columns, {10, 11, 12, 14, 18, 19, 23, 24, 25, 26, 27, 34}},
    {nullptr, net_value, 28, 28, 0, 29},
    {net_value, 30, 31},
};

const FunctionSpec get_dealerDesk_spec = {
    &str_get_dealerDesk, &str_get_dealerDesk, &str_doc, pipeline::locals_period_unit, 5,
    CO_OPTIMIZED | CO_NEWLOCALS, 9, "quorvex.process_stock.dealerDesk.get_dealerDesk",
    &code_get_dealerDesk, pipeline::series_body, nullptr, false, nullptr, &series,
};

}  // namespace

const ModuleSpec module_spec = pipeline::data_module(
    "dealerDesk", "quorvex.process_stock.dealerDesk", own_strings, nullptr, &get_dealerDesk_spec);

}  // namespace quorvex::frame

PyMODINIT_FUNC
PyInit_dealerDesk(void)
{
    return quorvex::frame::module_init();
}
