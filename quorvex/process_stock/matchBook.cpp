// quorvex.process_stock.matchBook: get_match_book, buy-side and sell-side order counts and
// volumes of one ticker; regrouped periods in which all four figures are zero are dropped.
#include "../../pipeline/request_pipeline.h"

namespace quorvex::frame {
namespace {

PyObject *str_get_match_book, *str_doc, *str_path, *str_buyCount, *str_buyVolume,
    *str_sellCount, *str_sellVolume;
PyObject *code_get_match_book;

const StringEntry own_strings[] = {
    {&str_get_match_book, "get_match_book", true},
    {&str_doc, "get_match_book(ticker, fromDate, toDate, period)", false},
    {&str_path, "/api/stock/sAndD", false},
    {&str_buyCount, "buyCount", true},
    {&str_buyVolume, "buyVolume", true},
    {&str_sellCount, "sellCount", true},
    {&str_sellVolume, "sellVolume", true},
    {nullptr, nullptr, false},
};

PyObject **const empty_columns[] = {
    &pipeline::str_DateTime, &str_buyCount, &str_buyVolume, &str_sellCount, &str_sellVolume,
    nullptr,
};
PyObject **const figures[] = {&str_buyCount, &str_buyVolume, &str_sellCount, &str_sellVolume,
                              nullptr};

const pipeline::Series series = {
    {&str_path, empty_columns, {10, 11, 12, 14, 18, 19, 23, 24, 25, 26, 27, 33}},
    {nullptr, figures, 28, 28, 29, 30},
    {nullptr, 0, 0},
};

const FunctionSpec get_match_book_spec = {
    &str_get_match_book, &str_get_match_book, &str_doc, pipeline::locals_period, 4,
    CO_OPTIMIZED | CO_NEWLOCALS, 9, "quorvex.process_stock.matchBook.get_match_book",
    &code_get_match_book, pipeline::series_body, nullptr, false, nullptr, &series,
};

}  // namespace

const ModuleSpec module_spec = pipeline::data_module("matchBook", "quorvex.process_stock.matchBook",
                                                     own_strings, nullptr, &get_match_book_spec);

}  // namespace quorvex::frame

PyMODINIT_FUNC
PyInit_matchBook(void)
{
    return quorvex::frame::module_init();
}
