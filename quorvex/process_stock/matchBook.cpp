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

// get_match_book(ticker, fromDate, toDate, period). New reference to the table.
PyObject *
get_match_book_impl(FunctionObject *, PyObject *const *args, int *line)
{
    return pipeline::get_series(series, args, line);
}

const FunctionSpec get_match_book_spec = {
    &str_get_match_book, &str_get_match_book, &str_doc, pipeline::locals_period, 4,
    CO_OPTIMIZED | CO_NEWLOCALS, 9, "quorvex.process_stock.matchBook.get_match_book",
    &code_get_match_book, get_match_book_impl, nullptr, false, nullptr,
};

const Statement own_statements[] = {
    {9, StatementKind::Def, nullptr, nullptr, &get_match_book_spec},
    {0, StatementKind::Import, nullptr, nullptr, nullptr},
};

const StringEntry *const string_tables[] = {pipeline::strings, own_strings, nullptr};
const FunctionSpec *const functions[] = {&get_match_book_spec, nullptr};
const Statement *const statements[] = {pipeline::imports, own_statements, nullptr};

}  // namespace

const ModuleSpec module_spec = {
    "matchBook", "quorvex.process_stock.matchBook", 2, string_tables, pipeline::ints,
    functions, statements, true, nullptr, nullptr,
};

}  // namespace quorvex::frame

PyMODINIT_FUNC
PyInit_matchBook(void)
{
    return quorvex::frame::module_init();
}
