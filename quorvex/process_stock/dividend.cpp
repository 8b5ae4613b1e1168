// quorvex.process_stock.dividend: get_dividend, the dividend and entitlement events of
// one ticker, with "-" cells as NaN and the three date columns as timestamps.
#include "pipeline/request_pipeline.h"

namespace quorvex::dividend {
namespace {

namespace compat = frame::compat;
using frame::FunctionObject;
using frame::FunctionSpec;
using frame::get_global;
using frame::NameCache;
using frame::Ref;
using frame::Statement;
using frame::StatementKind;
using frame::StringEntry;
using frame::StringKind;

PyObject *str_get_dividend, *str_doc, *str_path, *str_numpy, *str_np, *str_nan, *str_col, *str_dash,
    *str_ex_date, *str_record_date, *str_payment_date;
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
    &pipeline::str_ticker,
    &pipeline::str_fromDate,
    &pipeline::str_toDate,
    &pipeline::str_client,
    &pipeline::str_headers,
    &pipeline::str_url,
    &pipeline::str_params,
    &pipeline::str_response,
    &pipeline::str_data,
    &pipeline::str_cols,
    &str_col,
    nullptr,
};

const pipeline::Endpoint endpoint = {
    .path = &str_path,
    .empty_columns = date_columns,
    // No figure columns; a date cell may be null, and "-" is the placeholder of one.
    .dates = date_columns,
    .null_dates = true,
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

// Copy of `value` in which a cell holding exactly "-" is `nan`, looking `depth` levels
// into lists and dicts: the rows and their cells, whether the body is a list of
// records, a list of lists or a dict of columns. New reference.
PyObject *
blank_cells(PyObject *value, PyObject *nan, int depth)
{
    if (PyUnicode_Check(value)) {
        return compat::new_ref(PyUnicode_Compare(value, str_dash) == 0 ? nan : value);
    }
    if (depth > 0 && PyList_Check(value)) {
        // A snapshot of the items: hashing a dict key below may run Python code that
        // resizes `value`, which must not make the copy's slots and the list disagree.
        Ref items = Ref::steal(PySequence_Tuple(value));
        Ref copy = Ref::steal(items ? PyList_New(PyTuple_GET_SIZE(items.get())) : nullptr);
        for (Py_ssize_t i = 0; copy && i < PyTuple_GET_SIZE(items.get()); ++i) {
            PyObject *cell = blank_cells(PyTuple_GET_ITEM(items.get(), i), nan, depth - 1);
            if (!cell) {
                return nullptr;
            }
            PyList_SET_ITEM(copy.get(), i, cell);
        }
        return copy.release();
    }
    if (depth > 0 && PyDict_Check(value)) {
        Ref copy = Ref::steal(PyDict_New());
        PyObject *borrowed_key, *borrowed_item;
        Py_ssize_t pos = 0;
        while (copy && PyDict_Next(value, &pos, &borrowed_key, &borrowed_item)) {
            // Hashing a key may run Python code that changes `value`: hold key and item.
            Ref key = Ref::borrow(borrowed_key);
            Ref item = Ref::borrow(borrowed_item);
            Ref cell = Ref::steal(blank_cells(item.get(), nan, depth - 1));
            if (!cell || PyDict_SetItem(copy.get(), key.get(), cell.get()) < 0) {
                return nullptr;
            }
        }
        return copy.release();
    }
    return compat::new_ref(value);
}

// Whole cells holding "-" become `np.nan` before the table is made of the rows. Done
// on the decoded rows rather than with the table's `replace`, pandas infers each
// column's type once from the final cells: numbers with NaN are float64 on every
// pandas version, and no pandas call has to downcast (and warn about it) afterwards.
PyObject *
blank_placeholders(PyObject *rows, int *line)
{
    *line = step_lines.replace;
    Ref np = Ref::steal(get_global(str_np, np_site));
    Ref nan = Ref::steal(np ? frame::get_attr(np.get(), str_nan) : nullptr);
    return nan ? blank_cells(rows, nan.get(), 2) : nullptr;
}

// get_dividend(ticker, fromDate, toDate). New reference to the table.
PyObject *
get_dividend_impl(FunctionObject *, PyObject *const *args, int *line)
{
    Ref data = Ref::steal(pipeline::fetch_table(endpoint, args, line, blank_placeholders));
    if (!data) {
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
