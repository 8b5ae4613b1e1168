// The request pipeline shared by the five data modules: one GET to the service with the
// login client's headers, the status gate, the table made from the JSON rows, the time
// index and the period test, plus the reshaping steps the data functions have in common.
// Every step takes borrowed inputs and returns a new reference (or -1/nullptr with the
// exception set and `*line` naming the source line of the failing step).
// Imports, by name from the string table when a data module is executed (a test of the
// layering reads them there): quorvex.process_client.login, quorvex.config.config.
#ifndef QUORVEX_PIPELINE_REQUEST_PIPELINE_H
#define QUORVEX_PIPELINE_REQUEST_PIPELINE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../../../frame/function_object.h"
#include "../../../frame/module_frame.h"

namespace quorvex::pipeline {

// Identifiers and literals of the pipeline, made by each data module at import.
extern PyObject *str_ticker, *str_fromDate, *str_toDate, *str_period, *str_unit;
extern PyObject *str_DateTime, *str_last, *str_sum, *str_first, *str_max, *str_min;
extern PyObject *int_0, *int_1;
extern PyObject *str_client, *str_headers, *str_url, *str_params, *str_response, *str_data,
    *str_cols, *str_inplace;

extern const frame::StringEntry strings[];
extern const frame::IntEntry ints[];

// Makes the keyword-name tuples (after the strings); `prepared` lists them.
int prepare();
extern PyObject **const prepared[];

// Module-level statements every data module starts with (lines 2 to 5): the login
// client, the service address, requests and pandas as `pd`.
extern const frame::Statement imports[];

// Local names of the data functions, parameters first (nullptr-terminated):
// (ticker, fromDate, toDate, period) and (ticker, fromDate, toDate, period, unit).
extern PyObject **const locals_period[];
extern PyObject **const locals_period_unit[];

// Source lines that the steps of one data function report.
struct Lines {
    int client;           // making the login client
    int headers;          // `_get_headers()`
    int url;              // endpoint address
    int params;           // query parameters
    int get;              // looking up and calling `requests.get`
    int get_kwargs;       // building its keyword arguments
    int status;           // status gate
    int table;            // the table
    int to_datetime = 0;  // time index: the "DateTime" conversion (time series only)
    int set_index = 0;    // time index: `set_index` (time series only)
    int period = 0;       // period test (time series only)
    int fail;             // failure message and its ValueError
};

// One data endpoint. Its documented columns are checked in the decoded answer once the
// table is made of it (see fetch_table): a figure cell holds a number (an int that is not
// a bool, a float, NaN included, or null), a date cell holds text (or, where `null_dates`,
// null), and every figure column is in some row. An endpoint documents at most 64 figure
// columns.
struct Endpoint {
    PyObject **path;                      // "/api/stock/..."
    PyObject **const *empty_columns;      // columns of the table for an empty answer
    PyObject **const *figures = nullptr;  // figure columns, documented order, nullptr-ended
    PyObject **const *dates = nullptr;    // date columns (the first names a row), nullptr-ended
    bool null_dates = false;              // a date cell may be null
    Lines lines;
};

// A step between decoding the JSON answer and making the table of it: takes the decoded
// body (borrowed) and returns the body to make the table of (new reference), or nullptr
// with the exception set and `*line` naming its own line.
using RowsStep = PyObject *(*)(PyObject *rows, int *line);

// Sends the request for `query` (ticker, fromDate, toDate; borrowed) and returns the
// table of the answer: a new reference. Any status but 200 raises ValueError with the
// status and the response body, and the response as its `response` attribute. A 200
// answer that decodes to an empty JSON array gives an empty table with the endpoint's
// documented columns. `rows_step`, if given, reshapes the decoded body first. The
// decoded body is checked against the endpoint's columns (a list of row objects before
// the table is made, every row of it; a dict of columns once the table is made): a row
// that is not an object, a figure that is not a number or a date that is not text raises
// ValueError naming the column, the row and the value; a figure column in no row raises KeyError
// naming it, unless the first date column is in no row either (pandas then raises for that column,
// as before).
PyObject *fetch_table(const Endpoint &endpoint, PyObject *const *query, int *line,
                      RowsStep rows_step = nullptr);

// New list of the strings in the nullptr-terminated `items`.
PyObject *new_list(PyObject **const *items);

// One column of a regrouped table and how the period's values make its value ("last",
// "sum", ...). Tables end with an empty entry `{}`.
struct Aggregation {
    PyObject **column;
    PyObject **how;
};

// How a time series is regrouped when `period` is not "D": either `agg` with a dict of
// column and aggregation pairs, or the resampler's `sum()` over a list of columns,
// optionally dropping periods whose summed columns are all zero; then the ticker
// becomes the first column.
struct Regroup {
    const Aggregation *aggregations = nullptr;  // nullptr: sum the `columns`
    PyObject **const *columns = nullptr;        // columns summed, nullptr-terminated
    int line;                                   // resample and aggregate
    int dict_line = 0;                          // building the aggregation dict
    int filter_line = 0;                        // dropping all-zero periods; 0 keeps every period
    int ticker_line;                            // inserting the "ticker" column
};

// Money columns divided by the caller's `unit` after any regrouping.
struct Scaling {
    PyObject **const *columns = nullptr;  // nullptr: the function has no unit
    int list_line = 0;                    // building the column list
    int line = 0;                         // the division and assignment
};

struct Series {
    Endpoint endpoint;
    Regroup regroup;
    Scaling scaling = {};
};

// Body of the time-series data functions, whose spec's context is their `Series`.
// `args` holds ticker, fromDate, toDate, period and, where the series is scaled, unit.
// New reference to the table.
PyObject *series_body(frame::FunctionObject *self, PyObject *const *args, int *line);

// What a data module adds to the pipeline's part of its description.
struct DataModule {
    const char *short_name;                            // "foreign"
    const char *dotted_name;                           // "quorvex.process_stock.foreign"
    const frame::StringEntry *own_strings;             // the module's own strings
    const frame::Statement *own_statements = nullptr;  // run after the pipeline's imports
    const frame::FunctionSpec *function;               // the public function
};

// Description of a data module: the pipeline's strings and imports (lines 2 to 5), then
// the module's own strings and statements, then the `def` of its function.
consteval frame::ModuleSpec
data_module(const DataModule &module)
{
    return frame::checked({
        .short_name = module.short_name,
        .dotted_name = module.dotted_name,
        .first_line = 2,
        .shared_strings = strings,
        .own_strings = module.own_strings,
        .ints = ints,
        .shared_statements = imports,
        .own_statements = module.own_statements,
        .function = module.function,
        .caches_value_error = true,
        .prepare = prepare,
        .prepared = prepared,
    });
}

// `data[column] = pd.to_datetime(data[column])`, reading `pd` through `pd_site`.
int convert_dates(PyObject *data, PyObject *column, frame::NameCache &pd_site);

}  // namespace quorvex::pipeline

#endif  // QUORVEX_PIPELINE_REQUEST_PIPELINE_H
