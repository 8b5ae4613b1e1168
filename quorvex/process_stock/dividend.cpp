// quorvex.process_stock.dividend: get_dividend, the dividend and entitlement events of
// one ticker, with "-" cells as NaN and the three date columns as timestamps.
#include "../../pipeline/request_pipeline.h"

namespace quorvex::frame {
namespace {

PyObject *str_get_dividend, *str_doc, *str_path, *str_numpy, *str_np, *str_nan, *str_col,
    *str_dash, *str_ex_date, *str_record_date, *str_payment_date;
PyObject *code_get_dividend;

const StringEntry own_strings[] = {
    {&str_get_dividend, "get_dividend", true},
    {&str_doc, "get_dividend(ticker, fromDate, toDate)", false},
    {&str_path, "/api/stock/diviend", false},
    {&str_numpy, "numpy", true},
    {&str_np, "np", true},
    {&str_nan, "nan", true},
    {&str_col, "col", true},
    {&str_dash, "-", false},
    {&str_ex_date, "Ngày GD không hưởng quyền", false},
    {&str_record_date, "Ngày ĐK cuối cùng", false},
    {&str_payment_date, "Ngày thực hiện", false},
    {nullptr, nullptr, false},
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
    &str_path, date_columns, {8, 9, 10, 12, 16, 17, 21, 22, 0, 0, 0, 33},
};

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
        Ref copy = Ref::steal(PyList_New(PyList_GET_SIZE(value)));
        for (Py_ssize_t i = 0; copy && i < PyList_GET_SIZE(value); ++i) {
            PyObject *cell = blank_cells(PyList_GET_ITEM(value, i), nan, depth - 1);
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
            // Hashing a key may run Python code that changes `value`: hold the key.
            Ref key = Ref::borrow(borrowed_key);
            Ref cell = Ref::steal(blank_cells(borrowed_item, nan, depth - 1));
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
    *line = 23;
    Ref np = Ref::steal(get_global(str_np, np_site));
    Ref nan = Ref::steal(np ? PyObject_GetAttr(np.get(), str_nan) : nullptr);
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
    *line = 24;
    Ref cols = Ref::steal(pipeline::new_list(date_columns));
    if (!cols) {
        return nullptr;
    }
    *line = 30;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols.get()); ++i) {
        if (pipeline::convert_dates(data.get(), PyList_GET_ITEM(cols.get(), i), pd_site) < 0) {
            return nullptr;
        }
    }
    return data.release();
}

const FunctionSpec get_dividend_spec = {
    &str_get_dividend, &str_get_dividend, &str_doc, local_names, 3,
    CO_OPTIMIZED | CO_NEWLOCALS, 7, "quorvex.process_stock.dividend.get_dividend",
    &code_get_dividend, get_dividend_impl, nullptr, false, nullptr, nullptr,
};

const Statement own_statements[] = {
    {6, StatementKind::Import, &str_numpy, &str_np, nullptr},
    {0, StatementKind::Import, nullptr, nullptr, nullptr},
};

}  // namespace

const ModuleSpec module_spec = pipeline::data_module("dividend", "quorvex.process_stock.dividend",
                                                     own_strings, own_statements,
                                                     &get_dividend_spec);

}  // namespace quorvex::frame

PyMODINIT_FUNC
PyInit_dividend(void)
{
    return quorvex::frame::module_init();
}
