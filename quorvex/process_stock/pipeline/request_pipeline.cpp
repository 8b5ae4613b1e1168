// Steps of the request pipeline. Module-level names (`Client`, `base_url`, `requests`,
// `pd`) are read at every call through their own call-site caches, so rebinding one of
// them takes effect at the next call. Nothing is caught: every exception of the login
// client, requests or pandas reaches the caller unchanged.
#include "request_pipeline.h"

#include <cstdint>
#include <utility>

namespace quorvex::pipeline {

using frame::Ref;
using frame::StatementKind;
using frame::StringKind;

PyObject *str_ticker, *str_fromDate, *str_toDate, *str_period, *str_unit;
PyObject *str_DateTime, *str_last, *str_sum, *str_first, *str_max, *str_min;
PyObject *int_0, *int_1;
PyObject *str_client, *str_headers, *str_url, *str_params, *str_response, *str_data, *str_cols,
    *str_inplace;

namespace {

PyObject *str_Client, *str_base_url, *str_requests, *str_pandas, *str_pd, *str_login_module,
    *str_config_module;
PyObject *str__get_headers, *str_get, *str_status_code, *str_json, *str_text, *str_DataFrame,
    *str_columns, *str_dtype, *str_to_datetime, *str_set_index, *str_resample, *str_agg,
    *str_insert, *str_loc, *str_eq, *str_all, *str_axis;
PyObject *str_D, *str_failure_head, *str_failure_content;
PyObject *int_200;

// Keyword names: ("url", "headers", "params"), ("columns", "dtype"), ("axis",).
PyObject *kw_get, *kw_columns_dtype, *kw_axis;

// Call-site caches of the module-level names the pipeline reads.
frame::NameCache client_site, base_url_site, requests_site, pd_table_site, pd_dates_site;

}  // namespace

const frame::StringEntry strings[] = {
    {.slot = &str_ticker, .utf8 = "ticker", .kind = StringKind::Identifier},
    {.slot = &str_fromDate, .utf8 = "fromDate", .kind = StringKind::Identifier},
    {.slot = &str_toDate, .utf8 = "toDate", .kind = StringKind::Identifier},
    {.slot = &str_period, .utf8 = "period", .kind = StringKind::Identifier},
    {.slot = &str_unit, .utf8 = "unit", .kind = StringKind::Identifier},
    {.slot = &str_client, .utf8 = "client", .kind = StringKind::Identifier},
    {.slot = &str_headers, .utf8 = "headers", .kind = StringKind::Identifier},
    {.slot = &str_url, .utf8 = "url", .kind = StringKind::Identifier},
    {.slot = &str_params, .utf8 = "params", .kind = StringKind::Identifier},
    {.slot = &str_response, .utf8 = "response", .kind = StringKind::Identifier},
    {.slot = &str_data, .utf8 = "data", .kind = StringKind::Identifier},
    {.slot = &str_cols, .utf8 = "cols", .kind = StringKind::Identifier},
    {.slot = &str_Client, .utf8 = "Client", .kind = StringKind::Identifier},
    {.slot = &str_base_url, .utf8 = "base_url", .kind = StringKind::Identifier},
    {.slot = &str_requests, .utf8 = "requests", .kind = StringKind::Identifier},
    {.slot = &str_pandas, .utf8 = "pandas", .kind = StringKind::Identifier},
    {.slot = &str_pd, .utf8 = "pd", .kind = StringKind::Identifier},
    {.slot = &str_login_module,
     .utf8 = "quorvex.process_client.login",
     .kind = StringKind::Literal},
    {.slot = &str_config_module, .utf8 = "quorvex.config.config", .kind = StringKind::Literal},
    {.slot = &str__get_headers, .utf8 = "_get_headers", .kind = StringKind::Identifier},
    {.slot = &str_get, .utf8 = "get", .kind = StringKind::Identifier},
    {.slot = &str_status_code, .utf8 = "status_code", .kind = StringKind::Identifier},
    {.slot = &str_json, .utf8 = "json", .kind = StringKind::Identifier},
    {.slot = &str_text, .utf8 = "text", .kind = StringKind::Identifier},
    {.slot = &str_DataFrame, .utf8 = "DataFrame", .kind = StringKind::Identifier},
    {.slot = &str_columns, .utf8 = "columns", .kind = StringKind::Identifier},
    {.slot = &str_dtype, .utf8 = "dtype", .kind = StringKind::Identifier},
    {.slot = &str_to_datetime, .utf8 = "to_datetime", .kind = StringKind::Identifier},
    {.slot = &str_set_index, .utf8 = "set_index", .kind = StringKind::Identifier},
    {.slot = &str_inplace, .utf8 = "inplace", .kind = StringKind::Identifier},
    {.slot = &str_resample, .utf8 = "resample", .kind = StringKind::Identifier},
    {.slot = &str_agg, .utf8 = "agg", .kind = StringKind::Identifier},
    {.slot = &str_insert, .utf8 = "insert", .kind = StringKind::Identifier},
    {.slot = &str_loc, .utf8 = "loc", .kind = StringKind::Identifier},
    {.slot = &str_eq, .utf8 = "eq", .kind = StringKind::Identifier},
    {.slot = &str_all, .utf8 = "all", .kind = StringKind::Identifier},
    {.slot = &str_axis, .utf8 = "axis", .kind = StringKind::Identifier},
    {.slot = &str_DateTime, .utf8 = "DateTime", .kind = StringKind::Identifier},
    {.slot = &str_last, .utf8 = "last", .kind = StringKind::Identifier},
    {.slot = &str_sum, .utf8 = "sum", .kind = StringKind::Identifier},
    {.slot = &str_first, .utf8 = "first", .kind = StringKind::Identifier},
    {.slot = &str_max, .utf8 = "max", .kind = StringKind::Identifier},
    {.slot = &str_min, .utf8 = "min", .kind = StringKind::Identifier},
    {.slot = &str_D, .utf8 = "D", .kind = StringKind::Literal},
    {.slot = &str_failure_head,
     .utf8 = "Có lỗi xảy ra\nChi tiết: \nstatus:",
     .kind = StringKind::Literal},
    {.slot = &str_failure_content, .utf8 = "\ncontent: ", .kind = StringKind::Literal},
    {},
};

int
prepare()
{
    kw_get = PyTuple_Pack(3, str_url, str_headers, str_params);
    kw_columns_dtype = PyTuple_Pack(2, str_columns, str_dtype);
    kw_axis = PyTuple_Pack(1, str_axis);
    return kw_get && kw_columns_dtype && kw_axis ? 0 : -1;
}

PyObject **const prepared[] = {&kw_get, &kw_columns_dtype, &kw_axis, nullptr};

const frame::IntEntry ints[] = {
    {.slot = &int_0, .value = 0},
    {.slot = &int_1, .value = 1},
    {.slot = &int_200, .value = 200},
    {},
};

const frame::Statement imports[] = {
    {.line = 2,
     .kind = StatementKind::ImportFrom,
     .module = &str_login_module,
     .name = &str_Client},
    {.line = 3,
     .kind = StatementKind::ImportFrom,
     .module = &str_config_module,
     .name = &str_base_url},
    {.line = 4, .kind = StatementKind::Import, .module = &str_requests, .name = &str_requests},
    {.line = 5, .kind = StatementKind::Import, .module = &str_pandas, .name = &str_pd},
    {},
};

PyObject **const locals_period[] = {
    &str_ticker, &str_fromDate, &str_toDate,   &str_period, &str_client, &str_headers,
    &str_url,    &str_params,   &str_response, &str_data,   nullptr,
};

PyObject **const locals_period_unit[] = {
    &str_ticker, &str_fromDate, &str_toDate,   &str_period, &str_unit, &str_client, &str_headers,
    &str_url,    &str_params,   &str_response, &str_data,   &str_cols, nullptr,
};

namespace {

// A dict made once per runtime, of which each call takes a copy: copying a small dict
// costs less than inserting its pairs into a new one. One made by an ended runtime is
// forgotten, not released.
class DictTemplate {
   public:
    // New copy of the dict, which `fill(dict)` (0, or -1 with an exception set) fills
    // when it is first made in this runtime.
    template <typename Fill>
    PyObject *
    copy(Fill fill)
    {
        if (!dict_ || generation_ != frame::runtime_generation) {
            Ref made = Ref::steal(PyDict_New());
            if (!made || fill(made.get()) < 0) {
                return nullptr;
            }
            dict_ = made.release();
            generation_ = frame::runtime_generation;
        }
        return PyDict_Copy(dict_);
    }

   private:
    PyObject *dict_ = nullptr;  // strong
    uint64_t generation_ = 0;
};

// The last endpoint address, with the `base_url` str and the path it was joined from.
// A str never changes, so while `base_url` is the same str object the address is the
// same text and is reused rather than joined again. Forgotten with an ended runtime.
struct KeptUrl {
    PyObject *base = nullptr;  // strong
    PyObject *path = nullptr;  // borrowed: a string of the module's table
    PyObject *url = nullptr;   // strong
    uint64_t generation = 0;
};
KeptUrl kept_url;

// Step client and headers. New reference to the headers.
PyObject *
client_headers(const Lines &lines, int *line)
{
    *line = lines.client;
    Ref client_type = Ref::steal(frame::get_global(str_Client, client_site));
    Ref client = Ref::steal(client_type ? frame::call0(client_type.get()) : nullptr);
    if (!client) {
        return nullptr;
    }
    *line = lines.headers;
    return frame::call_method0(client.get(), str__get_headers);
}

// Step endpoint address: the text of `base_url` followed by the path. New reference.
PyObject *
endpoint_url(PyObject *path, const Lines &lines, int *line)
{
    *line = lines.url;
    Ref base = Ref::steal(frame::get_global(str_base_url, base_url_site));
    if (!base) {
        return nullptr;
    }
    const bool plain = PyUnicode_CheckExact(base.get());
    if (plain && kept_url.base == base.get() && kept_url.path == path &&
        kept_url.generation == frame::runtime_generation) {
        return frame::compat::new_ref(kept_url.url);
    }
    Ref text = Ref::steal(frame::format_simple(base.get()));
    Ref url = Ref::steal(text ? PyUnicode_Concat(text.get(), path) : nullptr);
    if (url && plain) {
        if (kept_url.generation == frame::runtime_generation) {
            Py_XDECREF(kept_url.base);
            Py_XDECREF(kept_url.url);
        }
        kept_url = {frame::compat::new_ref(base.get()), path, frame::compat::new_ref(url.get()),
                    frame::runtime_generation};
    }
    return url.release();
}

// Step query parameters: {"ticker": ..., "fromDate": ..., "toDate": ...}. New reference.
PyObject *
query_params(PyObject *const *query, const Lines &lines, int *line)
{
    *line = lines.params;
    Ref params = Ref::steal(PyDict_New());
    if (!params || PyDict_SetItem(params.get(), str_ticker, query[0]) < 0 ||
        PyDict_SetItem(params.get(), str_fromDate, query[1]) < 0 ||
        PyDict_SetItem(params.get(), str_toDate, query[2]) < 0) {
        return nullptr;
    }
    return params.release();
}

// Step fetch: `requests.get(url=url, headers=headers, params=params)`. The keyword names
// are one tuple made at import, so building the arguments cannot fail. New reference.
PyObject *
fetch(PyObject *url, PyObject *headers, PyObject *params, const Lines &lines, int *line)
{
    *line = lines.get;
    Ref requests = Ref::steal(frame::get_global(str_requests, requests_site));
    if (!requests) {
        return nullptr;
    }
    PyObject *args[] = {requests.get(), url, headers, params};
    return frame::call_method(str_get, args, 1, kw_get);
}

// Step status gate: 1 for status 200, 0 for any other, -1 on error. The interpreter's
// shared int 200 is 200; another int equals 200 when its value does, read directly;
// anything else compares as Python compares it.
int
status_ok(PyObject *response, const Lines &lines, int *line)
{
    *line = lines.status;
    Ref status = Ref::steal(PyObject_GetAttr(response, str_status_code));
    if (!status) {
        return -1;
    }
    if (status.get() == int_200) {
        return 1;
    }
    if (PyLong_CheckExact(status.get())) {
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(status.get(), &overflow);
        return overflow == 0 && value == 200;
    }
    return PyObject_RichCompareBool(status.get(), int_200, Py_EQ);
}

// The message of a refusal up to its body, "...status:404\ncontent: ". The text of an
// exact int depends on its value alone, so the prefix of the last such status is kept,
// and the next refusal with that status adds only the body to it. Forgotten with an
// ended runtime.
struct KeptPrefix {
    long status = 0;
    PyObject *text = nullptr;  // strong
    uint64_t generation = 0;
};
KeptPrefix kept_prefix;

// New reference to the message up to the body for `status` (borrowed).
PyObject *
refusal_prefix(PyObject *status)
{
    int overflow = 1;  // stays set for anything but an exact int
    const long value = PyLong_CheckExact(status) ? PyLong_AsLongAndOverflow(status, &overflow) : 0;
    const bool current = kept_prefix.generation == frame::runtime_generation;
    if (overflow == 0 && current && kept_prefix.text && kept_prefix.status == value) {
        return frame::compat::new_ref(kept_prefix.text);
    }
    Ref text = Ref::steal(frame::format_simple(status));
    Ref pieces = Ref::steal(
        text ? PyTuple_Pack(3, str_failure_head, text.get(), str_failure_content) : nullptr);
    Ref prefix =
        Ref::steal(pieces ? PyUnicode_Join(frame::state.empty_str, pieces.get()) : nullptr);
    if (prefix && overflow == 0) {
        if (current) {
            Py_XDECREF(kept_prefix.text);
        }
        kept_prefix = {value, frame::compat::new_ref(prefix.get()), frame::runtime_generation};
    }
    return prefix.release();
}

// Step failure message: raises ValueError naming the status and the body of the
// refused response. Each part is dropped once it is used, as the f-string and the call
// of the rendition drop theirs. Always returns nullptr.
PyObject *
raise_refusal(PyObject *response, const Lines &lines, int *line)
{
    *line = lines.fail;
    Ref status = Ref::steal(PyObject_GetAttr(response, str_status_code));
    // Held: reading the body may run code that refuses again and replaces the kept one.
    Ref prefix = Ref::steal(status ? refusal_prefix(status.get()) : nullptr);
    if (!prefix) {
        return nullptr;
    }
    status.drop();
    Ref body = Ref::steal(PyObject_GetAttr(response, str_text));
    if (body && !PyUnicode_CheckExact(body.get())) {
        body = Ref::steal(frame::format_other(body.get()));
    }
    if (!body) {
        return nullptr;
    }
    Ref message = Ref::steal(PyUnicode_Concat(prefix.get(), body.get()));
    body.drop();
    prefix.drop();
    if (!message) {
        return nullptr;
    }
    Ref error = Ref::steal(frame::call1(frame::state.value_error, message.get()));
    message.drop();
    // The refused response rides along as `.response`, as on requests.HTTPError, so a
    // caller can read its status, body and headers without parsing the message.
    if (error && PyObject_SetAttr(error.get(), str_response, response) == 0) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
    }
    error.drop();
    return nullptr;
}

// The check of an answer's cells. It reads the decoded body with the C API only, in one
// pass over the rows, so that a figure sent as text ("1000", which a regrouped "sum"
// would join into "10002000"), a date sent as epoch seconds (which pandas would read as
// nanoseconds of 1970) or a documented column that is missing never becomes a table
// silently. Text that reads as a number is refused, not converted: the service sends
// numbers, and a conversion would hide a service that changed.
enum class Cell { Figure, Date, DateOrNull };

// Quoted cells and rows are cut to this many characters.
constexpr Py_ssize_t quoted_length = 60;

// Whether `value` may stand in a cell of that kind. A figure's int must be exactly an
// int: a bool is an int to Python, but never a figure.
bool
cell_ok(PyObject *value, Cell kind)
{
    switch (kind) {
        case Cell::Figure:
            return PyLong_CheckExact(value) || PyFloat_Check(value) || value == Py_None;
        case Cell::DateOrNull:
            return value == Py_None || PyUnicode_Check(value);
        case Cell::Date:
            return PyUnicode_Check(value);
    }
    return false;
}

// repr(value), cut to `quoted_length` characters ending in "...". New reference.
PyObject *
quote(PyObject *value)
{
    Ref text = Ref::steal(PyObject_Repr(value));
    if (!text || PyUnicode_GET_LENGTH(text.get()) <= quoted_length) {
        return text.release();
    }
    Ref head = Ref::steal(PyUnicode_Substring(text.get(), 0, quoted_length - 3));
    return head ? PyUnicode_FromFormat("%U...", head.get()) : nullptr;
}

// Raises ValueError for the cell `value` (borrowed) of `column`: "column 'Volume' of the
// row dated '2024-01-05' holds '1000' (str), not a number". A figure's row is named by
// its `date` cell (borrowed, may be nullptr) when that is text, otherwise, and always for
// a date, by its position `at`. Returns -1.
int
refuse_cell(PyObject *column, Py_ssize_t at, PyObject *date, PyObject *value, Cell kind)
{
    Ref held = Ref::borrow(value);
    Ref when = Ref::borrow(kind == Cell::Figure && date && PyUnicode_Check(date) ? date : nullptr);
    const char *what = kind == Cell::Figure ? "a number" : "a date text";
    Ref quoted = Ref::steal(quote(held.get()));
    if (!quoted) {
        return -1;
    }
    if (when) {
        Ref when_quoted = Ref::steal(quote(when.get()));
        if (when_quoted) {
            PyErr_Format(PyExc_ValueError, "column %R of the row dated %U holds %U (%s), not %s",
                         column, when_quoted.get(), quoted.get(), Py_TYPE(held.get())->tp_name,
                         what);
        }
        return -1;
    }
    PyErr_Format(PyExc_ValueError, "column %R of row %zd holds %U (%s), not %s", column, at,
                 quoted.get(), Py_TYPE(held.get())->tp_name, what);
    return -1;
}

// KeyError for the first figure column (documented order) whose bit is not in `seen`, or
// 0 when every one was seen.
int
require_figures(const Endpoint &endpoint, std::uint64_t seen)
{
    for (int i = 0; i < 64 && endpoint.figures && endpoint.figures[i]; ++i) {
        if (!(seen & (std::uint64_t{1} << i))) {
            PyErr_SetObject(PyExc_KeyError, *endpoint.figures[i]);
            return -1;
        }
    }
    return 0;
}

// The kind of the endpoint's date cells.
Cell
date_kind(const Endpoint &endpoint)
{
    return endpoint.null_dates ? Cell::DateOrNull : Cell::Date;
}

// The answer as a list of row objects. 0, or -1 with the error set.
int
check_records(PyObject *rows, const Endpoint &endpoint)
{
    PyObject **const *dates = endpoint.dates;
    PyObject **const *figures = endpoint.figures;
    std::uint64_t seen = 0;
    bool dated = false;  // some row carries the first date column
    for (Py_ssize_t at = 0; at < PyList_GET_SIZE(rows); ++at) {
        // Held: a key of a dict that is not JSON's could run Python code when compared.
        Ref row = Ref::borrow(PyList_GET_ITEM(rows, at));
        if (!PyDict_Check(row.get())) {
            Ref quoted = Ref::steal(quote(row.get()));
            if (quoted) {
                PyErr_Format(PyExc_ValueError, "row %zd of the answer holds %U (%s), not an object",
                             at, quoted.get(), Py_TYPE(row.get())->tp_name);
            }
            return -1;
        }
        for (int i = 0; dates && dates[i]; ++i) {
            PyObject *cell = PyDict_GetItemWithError(row.get(), *dates[i]);  // borrowed
            if (!cell) {
                if (PyErr_Occurred()) {
                    return -1;
                }
                continue;
            }
            dated = dated || i == 0;
            if (!cell_ok(cell, date_kind(endpoint))) {
                return refuse_cell(*dates[i], at, nullptr, cell, date_kind(endpoint));
            }
        }
        for (int i = 0; figures && figures[i]; ++i) {
            PyObject *cell = PyDict_GetItemWithError(row.get(), *figures[i]);  // borrowed
            if (!cell) {
                if (PyErr_Occurred()) {
                    return -1;
                }
                continue;
            }
            seen |= i < 64 ? std::uint64_t{1} << i : 0;
            if (!cell_ok(cell, Cell::Figure)) {
                Ref held = Ref::borrow(cell);
                PyObject *date = dates ? PyDict_GetItemWithError(row.get(), *dates[0]) : nullptr;
                if (!date && PyErr_Occurred()) {
                    return -1;
                }
                return refuse_cell(*figures[i], at, date, held.get(), Cell::Figure);
            }
        }
    }
    return dated ? require_figures(endpoint, seen) : 0;
}

// The cell of row `at` (with key `key` in a dict of cells) of a column given as a list,
// a dict or one value for every row (as pandas broadcasts it). Borrowed; nullptr if none.
PyObject *
cell_of(PyObject *cells, Py_ssize_t at, PyObject *key)
{
    if (PyList_Check(cells)) {
        return at < PyList_GET_SIZE(cells) ? PyList_GET_ITEM(cells, at) : nullptr;
    }
    if (PyDict_Check(cells)) {
        PyObject *cell = key ? PyDict_GetItemWithError(cells, key) : nullptr;
        PyErr_Clear();  // only names a row in a message
        return cell;
    }
    return cells;
}

// Checks every cell of one column of a dict of columns (`dates`: that dict's first date
// column, naming the rows of a figure column; borrowed, may be nullptr). 0 or -1.
int
check_column(PyObject *column, PyObject *cells, Cell kind, PyObject *dates)
{
    if (PyList_Check(cells)) {
        for (Py_ssize_t at = 0; at < PyList_GET_SIZE(cells); ++at) {
            PyObject *cell = PyList_GET_ITEM(cells, at);
            if (!cell_ok(cell, kind)) {
                Ref held = Ref::borrow(cell);
                return refuse_cell(column, at, dates ? cell_of(dates, at, nullptr) : nullptr,
                                   held.get(), kind);
            }
        }
        return 0;
    }
    if (PyDict_Check(cells)) {
        PyObject *key, *cell;
        Py_ssize_t pos = 0;
        for (Py_ssize_t at = 0; PyDict_Next(cells, &pos, &key, &cell); ++at) {
            if (!cell_ok(cell, kind)) {
                Ref held_key = Ref::borrow(key);
                Ref held = Ref::borrow(cell);
                return refuse_cell(column, at, dates ? cell_of(dates, at, held_key.get()) : nullptr,
                                   held.get(), kind);
            }
        }
        return 0;
    }
    return cell_ok(cells, kind) ? 0 : refuse_cell(column, 0, nullptr, cells, kind);
}

// The answer as a dict of columns, {"DateTime": [...], "Volume": [...]}. 0 or -1.
int
check_columns(PyObject *columns, const Endpoint &endpoint)
{
    PyObject **const *dates = endpoint.dates;
    PyObject **const *figures = endpoint.figures;
    Ref first_dates;  // the first date column's cells, naming the rows
    for (int i = 0; dates && dates[i]; ++i) {
        Ref cells = Ref::borrow(PyDict_GetItemWithError(columns, *dates[i]));
        if (!cells && PyErr_Occurred()) {
            return -1;
        }
        if (cells && check_column(*dates[i], cells.get(), date_kind(endpoint), nullptr) < 0) {
            return -1;
        }
        if (i == 0) {
            first_dates = std::move(cells);
        }
    }
    std::uint64_t seen = 0;
    for (int i = 0; figures && figures[i]; ++i) {
        Ref cells = Ref::borrow(PyDict_GetItemWithError(columns, *figures[i]));
        if (!cells) {
            if (PyErr_Occurred()) {
                return -1;
            }
            continue;
        }
        seen |= i < 64 ? std::uint64_t{1} << i : 0;
        if (check_column(*figures[i], cells.get(), Cell::Figure, first_dates.get()) < 0) {
            return -1;
        }
    }
    return first_dates ? require_figures(endpoint, seen) : 0;
}

// Checks the decoded answer `body` (borrowed) against the endpoint's columns: a list of
// row objects, or a dict of columns; any other value is left to pandas. 0 or -1.
int
check_answer(PyObject *body, const Endpoint &endpoint)
{
    if (PyList_Check(body)) {
        return check_records(body, endpoint);
    }
    return PyDict_Check(body) ? check_columns(body, endpoint) : 0;
}

// Step table: `pd.DataFrame(response.json())`. An empty JSON array means "no rows in
// this range": the table is then made from the endpoint's documented column names, so
// that the later steps shape it like any other answer. New reference.
PyObject *
make_table(PyObject *response, const Endpoint &endpoint, RowsStep rows_step, int *line)
{
    *line = endpoint.lines.table;
    Ref pd = Ref::steal(frame::get_global(str_pd, pd_table_site));
    Ref frame_type = Ref::steal(pd ? frame::get_attr(pd.get(), str_DataFrame) : nullptr);
    Ref decoded = Ref::steal(frame_type ? frame::call_method0(response, str_json) : nullptr);
    if (!decoded) {
        return nullptr;
    }
    Ref rows = Ref::borrow(decoded.get());  // the body the table is made of
    if (rows_step) {
        rows = Ref::steal(rows_step(decoded.get(), line));
        if (!rows) {
            return nullptr;
        }
        *line = endpoint.lines.table;
    }
    if (PyList_Check(rows.get()) && PyList_GET_SIZE(rows.get()) == 0) {
        // Columns of float64, the dtype pandas gives a numeric column that may hold NaN,
        // so that the empty table concatenates with others without turning their figures
        // into objects; "DateTime" and the dividend's dates become datetime64 later.
        Ref columns = Ref::steal(new_list(endpoint.empty_columns));
        PyObject *args[] = {columns.get(), reinterpret_cast<PyObject *>(&PyFloat_Type)};
        return columns ? frame::call_vector(frame_type.get(), args, 0, kw_columns_dtype) : nullptr;
    }
    // A list of rows is checked before pandas sees it, every row whatever its place:
    // pandas reads a list whose first row is an object as a list of objects, and a later
    // row of another kind ([{...}, [5, "x"]]) would fail inside pandas with an error about
    // that row's type rather than the refusal of the row. A dict of columns is checked
    // once pandas has made its table, so that columns pandas cannot make a table of (of
    // unequal lengths, say) fail with pandas' own error, as they always have.
    const bool records = PyList_Check(decoded.get());
    if (records && check_records(decoded.get(), endpoint) < 0) {
        return nullptr;
    }
    Ref data = Ref::steal(frame::call1(frame_type.get(), rows.get()));
    if (!data || (!records && check_answer(decoded.get(), endpoint) < 0)) {
        return nullptr;
    }
    return data.release();
}

// Step time index: "DateTime" converted to timestamps, then `data.set_index("DateTime")`.
// The table with the new index replaces `data` rather than being changed in place:
// pandas deprecates `inplace=True` for set_index (3.1 warns at every call), and the
// result is the same table. New reference.
PyObject *
set_time_index(PyObject *data, const Lines &lines, int *line)
{
    *line = lines.to_datetime;
    if (convert_dates(data, str_DateTime, pd_dates_site) < 0) {
        return nullptr;
    }
    *line = lines.set_index;
    return frame::call_method1(data, str_set_index, str_DateTime);
}

}  // namespace

PyObject *
fetch_table(const Endpoint &endpoint, PyObject *const *query, int *line, RowsStep rows_step)
{
    const Lines &lines = endpoint.lines;
    Ref headers = Ref::steal(client_headers(lines, line));
    if (!headers) {
        return nullptr;
    }
    Ref url = Ref::steal(endpoint_url(*endpoint.path, lines, line));
    if (!url) {
        return nullptr;
    }
    Ref params = Ref::steal(query_params(query, lines, line));
    if (!params) {
        return nullptr;
    }
    Ref response = Ref::steal(fetch(url.get(), headers.get(), params.get(), lines, line));
    if (!response) {
        return nullptr;
    }
    const int ok = status_ok(response.get(), lines, line);
    if (ok < 0) {
        return nullptr;
    }
    Ref table = Ref::steal(ok ? make_table(response.get(), endpoint, rows_step, line)
                              : raise_refusal(response.get(), lines, line));
    // The locals go as a Python function's do when it returns, in the holders' order.
    response.drop();
    params.drop();
    url.drop();
    headers.drop();
    return table.release();
}

PyObject *
new_list(PyObject **const *items)
{
    Py_ssize_t count = 0;
    while (items[count]) {
        ++count;
    }
    Ref list = Ref::steal(PyList_New(count));
    if (!list) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(list.get(), i, frame::compat::new_ref(*items[i]));
    }
    return list.release();
}

namespace {

// fetch_table, then the time index and the period test: `*regroup` tells whether
// `period` differs from "D". New reference.
PyObject *
fetch_series(const Endpoint &endpoint, PyObject *const *query, PyObject *period, bool *regroup,
             int *line)
{
    Ref table = Ref::steal(fetch_table(endpoint, query, line));
    Ref data = Ref::steal(table ? set_time_index(table.get(), endpoint.lines, line) : nullptr);
    if (!data) {
        return nullptr;
    }
    *line = endpoint.lines.period;
    // The interned "D" is "D"; another str differs from "D" when its text does; anything
    // else (a str subclass too) compares as Python compares it.
    const int differs = period == str_D ? 0
                        : PyUnicode_CheckExact(period)
                            ? PyUnicode_CompareWithASCIIString(period, "D") != 0
                            : PyObject_RichCompareBool(period, str_D, Py_NE);
    if (differs < 0) {
        return nullptr;
    }
    *regroup = differs != 0;
    return data.release();
}

// The aggregation dict of the module's regrouping, {column: how, ...} in the order of
// its pairs. New reference.
DictTemplate aggregations_template;

PyObject *
new_aggregations(const Regroup &regroup)
{
    return aggregations_template.copy([&regroup](PyObject *made) {
        for (const Aggregation *column = regroup.aggregations; column->column; ++column) {
            if (PyDict_SetItem(made, *column->column, *column->how) < 0) {
                return -1;
            }
        }
        return 0;
    });
}

// `data.resample(period).agg({column: how, ...})`. New reference.
PyObject *
resample_agg(PyObject *data, PyObject *period, const Regroup &regroup, int *line)
{
    *line = regroup.line;
    Ref resampler = Ref::steal(frame::call_method1(data, str_resample, period));
    if (!resampler) {
        return nullptr;
    }
    *line = regroup.dict_line;
    Ref how = Ref::steal(new_aggregations(regroup));
    if (!how) {
        return nullptr;
    }
    *line = regroup.line;
    return frame::call_method1(resampler.get(), str_agg, how.get());
}

// `data.resample(period)[columns].sum()`. New reference.
PyObject *
resample_sum(PyObject *data, PyObject *period, const Regroup &regroup, int *line)
{
    *line = regroup.line;
    Ref columns = Ref::steal(new_list(regroup.columns));
    Ref resampler = Ref::steal(columns ? frame::call_method1(data, str_resample, period) : nullptr);
    Ref selection =
        Ref::steal(resampler ? PyObject_GetItem(resampler.get(), columns.get()) : nullptr);
    return selection ? frame::call_method0(selection.get(), str_sum) : nullptr;
}

// `data.loc[~data[columns].eq(0).all(axis=1)]`: the periods in which not every summed
// column is zero. New reference.
PyObject *
drop_zero_periods(PyObject *data, const Regroup &regroup, int *line)
{
    *line = regroup.filter_line;
    Ref loc = Ref::steal(PyObject_GetAttr(data, str_loc));
    Ref columns = Ref::steal(loc ? new_list(regroup.columns) : nullptr);
    Ref selection = Ref::steal(columns ? PyObject_GetItem(data, columns.get()) : nullptr);
    Ref zero =
        Ref::steal(selection ? frame::call_method1(selection.get(), str_eq, int_0) : nullptr);
    PyObject *all_args[] = {zero.get(), int_1};
    Ref all_zero = Ref::steal(zero ? frame::call_method(str_all, all_args, 1, kw_axis) : nullptr);
    Ref keep = Ref::steal(all_zero ? PyNumber_Invert(all_zero.get()) : nullptr);
    return keep ? PyObject_GetItem(loc.get(), keep.get()) : nullptr;
}

// The regrouping path: aggregate per period, then put the ticker in front.
PyObject *
regroup_series(PyObject *data, PyObject *ticker, PyObject *period, const Regroup &regroup,
               int *line)
{
    Ref grouped = Ref::steal(regroup.aggregations ? resample_agg(data, period, regroup, line)
                                                  : resample_sum(data, period, regroup, line));
    if (grouped && regroup.filter_line) {
        grouped = Ref::steal(drop_zero_periods(grouped.get(), regroup, line));
    }
    if (!grouped) {
        return nullptr;
    }
    *line = regroup.ticker_line;
    PyObject *args[] = {grouped.get(), int_0, str_ticker, ticker};
    Ref result = Ref::steal(frame::call_method(str_insert, args, 4, nullptr));
    return result ? grouped.release() : nullptr;
}

// `data[columns] = data[columns] / unit`, on the table as it stands after regrouping.
int
scale(PyObject *data, PyObject *unit, const Scaling &scaling, int *line)
{
    *line = scaling.list_line;
    Ref columns = Ref::steal(new_list(scaling.columns));
    if (!columns) {
        return -1;
    }
    *line = scaling.line;
    Ref selection = Ref::steal(PyObject_GetItem(data, columns.get()));
    Ref quotient = Ref::steal(selection ? PyNumber_TrueDivide(selection.get(), unit) : nullptr);
    return quotient ? frame::set_item(data, columns.get(), quotient.get()) : -1;
}

}  // namespace

PyObject *
series_body(frame::FunctionObject *self, PyObject *const *args, int *line)
{
    const Series &series = *static_cast<const Series *>(self->spec->context);
    PyObject *ticker = args[0];
    PyObject *period = args[3];
    bool regroup = false;
    Ref data = Ref::steal(fetch_series(series.endpoint, args, period, &regroup, line));
    if (data && regroup) {
        data = Ref::steal(regroup_series(data.get(), ticker, period, series.regroup, line));
    }
    if (!data) {
        return nullptr;
    }
    if (series.scaling.columns && scale(data.get(), args[4], series.scaling, line) < 0) {
        return nullptr;
    }
    return data.release();
}

int
convert_dates(PyObject *data, PyObject *column, frame::NameCache &pd_site)
{
    Ref pd = Ref::steal(frame::get_global(str_pd, pd_site));
    Ref to_datetime = Ref::steal(pd ? frame::get_attr(pd.get(), str_to_datetime) : nullptr);
    Ref values = Ref::steal(to_datetime ? PyObject_GetItem(data, column) : nullptr);
    Ref converted = Ref::steal(values ? frame::call1(to_datetime.get(), values.get()) : nullptr);
    return converted ? frame::set_item(data, column, converted.get()) : -1;
}

}  // namespace quorvex::pipeline
