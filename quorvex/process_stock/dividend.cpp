// quorvex.process_stock.dividend: get_dividend, the dividend and entitlement events of
// one ticker, with "-" cells as NaN and the three date columns as timestamps.
#include "../../pipeline/request_pipeline.h"

namespace quorvex::dividend {
namespace {

using frame::call_with_keyword;
using frame::FunctionObject;
using frame::FunctionSpec;
using frame::get_global;
using frame::NameCache;
using frame::Ref;
using frame::Statement;
using frame::StatementKind;
using frame::StringEntry;
using frame::StringKind;

PyObject *str_get_dividend, *str_doc, *str_path, *str_numpy, *str_np, *str_nan, *str_replace,
    *str_col, *str_dash, *str_ex_date, *str_record_date, *str_payment_date;
PyObject *code_get_dividend;

const StringEntry own_strings[] = {
    {.slot = &str_get_dividend, .utf8 = "get_dividend", .kind = StringKind::Identifier},
    {.slot = &str_doc,
     .utf8 = "get_dividend(ticker, fromDate, toDate)",
     .kind = StringKind::Literal},
    {.slot = &str_path, .utf8 = "/api/stock/diviend", .kind = StringKind::Literal},
    {.slot = &str_numpy, .utf8 = "numpy", .kind = StringKind::Identifier},
    {.slot = &str_np, .utf8 = "np", .kind = StringKind::Identifier},
    {.slot = &str_nan, .utf8 = "nan", .kind = StringKind::Identifier},
    {.slot = &str_replace, .utf8 = "replace", .kind = StringKind::Identifier},
    {.slot = &str_col, .utf8 = "col", .kind = StringKind::Identifier},
    {.slot = &str_dash, .utf8 = "-", .kind = StringKind::Literal},
    {.slot = &str_ex_date, .utf8 = "Ngày GD không hưởng quyền", .kind = StringKind::Literal},
    {.slot = &str_record_date, .utf8 = "Ngày ĐK cuối cùng", .kind = StringKind::Literal},
    {.slot = &str_payment_date, .utf8 = "Ngày thực hiện", .kind = StringKind::Literal},
    {},
};

// Converted in this order; also the columns of the table for an empty answer.
PyObject **const date_columns[] = {&str_ex_date, &str_record_date, &str_payment_date, nullptr};

PyObject **const local_names[] = {
    &pipeline::str_ticker, &pipeline::str_fromDate, &pipeline::str_toDate,
    &pipeline::str_client, &pipeline::str_headers,  &pipeline::str_url,
    &pipeline::str_params, &pipeline::str_response, &pipeline::str_data,
    &pipeline::str_cols,   &str_col,                nullptr,
};

const pipeline::Endpoint endpoint = {
    .path = &str_path,
    .empty_columns = date_columns,
    .lines = {.client = 8,
              .headers = 9,
              .url = 10,
              .params = 12,
              .get = 16,
              .get_kwargs = 17,
              .status = 21,
              .table = 22,
              .fail = 33},
};

// Source lines of the steps after the request.
constexpr struct {
    int replace;      // "-" cells to NaN
    int cols;         // the list of date columns
    int to_datetime;  // each date column to timestamps
} step_lines = {.replace = 23, .cols = 24, .to_datetime = 30};

NameCache np_site, pd_site;

// `data.replace("-", np.nan, inplace=True)`: whole cells holding "-" become NaN.
int
blank_placeholders(PyObject *data)
{
    Ref replace = Ref::steal(PyObject_GetAttr(data, str_replace));
    Ref np = Ref::steal(replace ? get_global(str_np, np_site) : nullptr);
    Ref nan = Ref::steal(np ? PyObject_GetAttr(np.get(), str_nan) : nullptr);
    Ref args = Ref::steal(nan ? PyTuple_Pack(2, str_dash, nan.get()) : nullptr);
    Ref result = Ref::steal(
        args ? call_with_keyword(replace.get(), args.get(), pipeline::str_inplace, Py_True)
             : nullptr);
    return result ? 0 : -1;
}

// get_dividend(ticker, fromDate, toDate). New reference to the table.
PyObject *
get_dividend_impl(FunctionObject *, PyObject *const *args, int *line)
{
    Ref data = Ref::steal(pipeline::fetch_table(endpoint, args, line));
    if (!data) {
        return nullptr;
    }
    *line = step_lines.replace;
    if (blank_placeholders(data.get()) < 0) {
        return nullptr;
    }
    *line = step_lines.cols;
    Ref cols = Ref::steal(pipeline::new_list(date_columns));
    if (!cols) {
        return nullptr;
    }
    *line = step_lines.to_datetime;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols.get()); ++i) {
        if (pipeline::convert_dates(data.get(), PyList_GET_ITEM(cols.get(), i), pd_site) < 0) {
            return nullptr;
        }
    }
    return data.release();
}

constexpr FunctionSpec get_dividend_spec = {
    .name = &str_get_dividend,
    .qualname = &str_get_dividend,
    .doc = &str_doc,
    .varnames = local_names,
    .argcount = 3,
    .flags = CO_OPTIMIZED | CO_NEWLOCALS,
    .first_line = 7,
    .traceback_name = "quorvex.process_stock.dividend.get_dividend",
    .code = &code_get_dividend,
    .body = get_dividend_impl,
};

const Statement own_statements[] = {
    {.line = 6, .kind = StatementKind::Import, .module = &str_numpy, .name = &str_np},
    {},
};

}  // namespace
}  // namespace quorvex::dividend

const quorvex::frame::ModuleSpec quorvex::frame::module_spec = pipeline::data_module({
    .short_name = "dividend",
    .dotted_name = "quorvex.process_stock.dividend",
    .own_strings = dividend::own_strings,
    .own_statements = dividend::own_statements,
    .function = &dividend::get_dividend_spec,
});

PyMODINIT_FUNC
PyInit_dividend(void)
{
    return quorvex::frame::module_init();
}
