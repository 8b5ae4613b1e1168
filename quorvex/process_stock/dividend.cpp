// quorvex.process_stock.dividend: get_dividend, the dividend and entitlement events of
// one ticker, with "-" cells as NaN and the three date columns as timestamps.
#include "../../pipeline/request_pipeline.h"

namespace quorvex::frame {
namespace {

PyObject *str_get_dividend, *str_doc, *str_path, *str_numpy, *str_np, *str_nan, *str_replace,
    *str_col, *str_dash, *str_ex_date, *str_record_date, *str_payment_date;
PyObject *code_get_dividend;

const StringEntry own_strings[] = {
    {&str_get_dividend, "get_dividend", true},
    {&str_doc, "get_dividend(ticker, fromDate, toDate)", false},
    {&str_path, "/api/stock/diviend", false},
    {&str_numpy, "numpy", true},
    {&str_np, "np", true},
    {&str_nan, "nan", true},
    {&str_replace, "replace", true},
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

// `data.replace("-", np.nan, inplace=True)`: whole cells holding "-" become NaN.
int
blank_placeholders(PyObject *data)
{
    Ref replace = Ref::steal(PyObject_GetAttr(data, str_replace));
    Ref np = Ref::steal(replace ? get_global(str_np, np_site) : nullptr);
    Ref nan = Ref::steal(np ? PyObject_GetAttr(np.get(), str_nan) : nullptr);
    PyObject *args[] = {str_dash, nan.get(), Py_True};
    Ref result = Ref::steal(nan ? call_vector(replace.get(), args, 2, pipeline::kw_inplace)
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
    *line = 23;
    if (blank_placeholders(data.get()) < 0) {
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
