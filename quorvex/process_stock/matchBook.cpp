// quorvex.process_stock.matchBook: get_match_book, buy-side and sell-side order counts and
// volumes of one ticker; regrouped periods in which all four figures are zero are dropped.
#include "pipeline/request_pipeline.h"

namespace quorvex::match_book {
namespace {

using frame::FunctionSpec;
using frame::StringEntry;
using frame::StringKind;

PyObject *str_get_match_book, *str_doc, *str_path, *str_buyCount, *str_buyVolume, *str_sellCount,
    *str_sellVolume;
PyObject *code_get_match_book;

const StringEntry own_strings[] = {
    {.slot = &str_get_match_book, .utf8 = "get_match_book", .kind = StringKind::Identifier},
    {.slot = &str_doc,
     .utf8 = "get_match_book(ticker, fromDate, toDate, period)",
     .kind = StringKind::Literal},
    {.slot = &str_path, .utf8 = "/api/stock/sAndD", .kind = StringKind::Literal},
    {.slot = &str_buyCount, .utf8 = "buyCount", .kind = StringKind::Identifier},
    {.slot = &str_buyVolume, .utf8 = "buyVolume", .kind = StringKind::Identifier},
    {.slot = &str_sellCount, .utf8 = "sellCount", .kind = StringKind::Identifier},
    {.slot = &str_sellVolume, .utf8 = "sellVolume", .kind = StringKind::Identifier},
    {},
};

PyObject **const empty_columns[] = {
    &pipeline::str_DateTime, &str_buyCount,   &str_buyVolume,
    &str_sellCount,          &str_sellVolume, nullptr,
};
PyObject **const figures[] = {&str_buyCount, &str_buyVolume, &str_sellCount, &str_sellVolume,
                              nullptr};

// The cells of `figures` must be numbers; those of "DateTime" date texts.
PyObject **const date_columns[] = {&pipeline::str_DateTime, nullptr};

const pipeline::Series series = {
    .endpoint = {.path = &str_path,
                 .empty_columns = empty_columns,
                 .figures = figures,
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
                           .fail = 33}},
    .regroup = {.columns = figures, .line = 28, .filter_line = 29, .ticker_line = 30},
};

constexpr FunctionSpec get_match_book_spec = {
    .name = &str_get_match_book,
    .qualname = &str_get_match_book,
    .doc = &str_doc,
    .varnames = pipeline::locals_period,
    .argcount = 4,
    .flags = CO_OPTIMIZED | CO_NEWLOCALS,
    .first_line = 9,
    .traceback_name = "quorvex.process_stock.matchBook.get_match_book",
    .code = &code_get_match_book,
    .body = pipeline::series_body,
    .context = &series,
};

}  // namespace
}  // namespace quorvex::match_book

const quorvex::frame::ModuleSpec quorvex::frame::module_spec = pipeline::data_module({
    .short_name = "matchBook",
    .dotted_name = "quorvex.process_stock.matchBook",
    .own_strings = match_book::own_strings,
    .function = &match_book::get_match_book_spec,
});

PyMODINIT_FUNC
PyInit_matchBook(void)
{
    return quorvex::frame::module_init();
}
