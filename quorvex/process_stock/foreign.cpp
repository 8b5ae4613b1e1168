// quorvex.process_stock.foreign: get_foreign, foreign investors' bought and sold volumes
// and values of one ticker, with the money columns divided by the caller's unit.
#include "../../pipeline/request_pipeline.h"

namespace quorvex::frame {
namespace {

PyObject *str_get_foreign, *str_doc, *str_path, *str_Close, *str_buyForeignVolume,
    *str_sellForeignVolume, *str_buyForeignValue, *str_sellForeignValue, *str_netForeignValue;
PyObject *code_get_foreign;

const StringEntry own_strings[] = {
    {&str_get_foreign, "get_foreign", true},
    {&str_doc, "get_foreign(ticker, fromDate, toDate, period, unit)", false},
    {&str_path, "/api/stock/foreign", false},
    {&str_Close, "Close", true},
    {&str_buyForeignVolume, "buyForeignVolume", true},
    {&str_sellForeignVolume, "sellForeignVolume", true},
    {&str_buyForeignValue, "buyForeignValue", true},
    {&str_sellForeignValue, "sellForeignValue", true},
    {&str_netForeignValue, "netForeignValue", true},
    {nullptr, nullptr, false},
};

PyObject **const empty_columns[] = {
    &pipeline::str_DateTime, &str_Close, &str_buyForeignVolume, &str_sellForeignVolume,
    &str_buyForeignValue, &str_sellForeignValue, &str_netForeignValue, nullptr,
};

// The period's last close; every flow is added up.
PyObject **const aggregations[] = {
    &str_Close,           &pipeline::str_last, &str_buyForeignVolume, &pipeline::str_sum,
    &str_sellForeignVolume, &pipeline::str_sum, &str_buyForeignValue,  &pipeline::str_sum,
    &str_sellForeignValue, &pipeline::str_sum, &str_netForeignValue,  &pipeline::str_sum,
    nullptr,
};

PyObject **const value_columns[] = {
    &str_buyForeignValue, &str_sellForeignValue, &str_netForeignValue, nullptr,
};

const pipeline::Series series = {
    {&str_path, empty_columns, {8, 9, 10, 12, 16, 17, 21, 22, 23, 24, 25, 39}},
    {aggregations, nullptr, 26, 27, 0, 34},
    {value_columns, 35, 36},
};

const FunctionSpec get_foreign_spec = {
    &str_get_foreign, &str_get_foreign, &str_doc, pipeline::locals_period_unit, 5,
    CO_OPTIMIZED | CO_NEWLOCALS, 7, "quorvex.process_stock.foreign.get_foreign",
    &code_get_foreign, pipeline::series_body, nullptr, false, nullptr, &series,
};

}  // namespace

const ModuleSpec module_spec = pipeline::data_module("foreign", "quorvex.process_stock.foreign",
                                                     own_strings, nullptr, &get_foreign_spec);

}  // namespace quorvex::frame

PyMODINIT_FUNC
PyInit_foreign(void)
{
    return quorvex::frame::module_init();
}
