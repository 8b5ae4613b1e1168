// quorvex._rows: `decode(body, date_key, figure_keys)`, the columns of one time series
// answer for download's bulk path. The bytes are decoded with the interpreter lock
// released (other workers go on fetching meanwhile); the result is plain bytes buffers
// that numpy views without copying. A small multi-phase module with no state.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "../decoder/rows.h"
#include "../frame/ref.h"

namespace quorvex::rows {
namespace {

using decoder::Decoded;
using decoder::Figure;
using decoder::Outcome;
using frame::Ref;

// The most figure columns a data set may have (each is a key of every row).
constexpr Py_ssize_t max_figures = 32;

// New reference to a bytes object holding a copy of the contiguous `values`.
template <typename Values>
PyObject *
bytes_of(const Values &values)
{
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(values.data()),
                                     static_cast<Py_ssize_t>(values.size() * sizeof(values[0])));
}

// New reference to the Python form of `decoded`:
// (keys, rows, form, first_date, seconds, ((kind, data), ...)), kind "i" (int64) or
// "f" (float64) for each figure column in key order.
PyObject *
result_of(const Decoded &decoded)
{
    Ref keys = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(decoded.keys.size())));
    if (!keys) {
        return nullptr;
    }
    for (std::size_t i = 0; i < decoded.keys.size(); ++i) {
        PyObject *key = PyUnicode_FromStringAndSize(
            decoded.keys[i].data(), static_cast<Py_ssize_t>(decoded.keys[i].size()));
        if (!key) {
            return nullptr;
        }
        PyTuple_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(i), key);
    }
    Ref columns = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(decoded.figures.size())));
    if (!columns) {
        return nullptr;
    }
    for (std::size_t i = 0; i < decoded.figures.size(); ++i) {
        const Figure &figure = decoded.figures[i];
        Ref data = Ref::steal(figure.is_float ? bytes_of(figure.floats) : bytes_of(figure.ints));
        PyObject *column =
            data ? Py_BuildValue("(sO)", figure.is_float ? "f" : "i", data.get()) : nullptr;
        if (!column) {
            return nullptr;
        }
        PyTuple_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(i), column);
    }
    Ref first_date = Ref::steal(PyUnicode_FromStringAndSize(
        decoded.first_date.data(), static_cast<Py_ssize_t>(decoded.first_date.size())));
    Ref seconds = Ref::steal(first_date ? bytes_of(decoded.seconds) : nullptr);
    if (!seconds) {
        return nullptr;
    }
    return Py_BuildValue("(OniOOO)", keys.get(), static_cast<Py_ssize_t>(decoded.rows),
                         static_cast<int>(decoded.form), first_date.get(), seconds.get(),
                         columns.get());
}

// The arguments of decode() and why(), as views of the objects the caller lends for
// the whole call (bytes never change; a str keeps its UTF-8 form once made).
struct Arguments {
    std::string_view body;
    std::string_view date;
    std::string_view figures[max_figures];
    std::size_t count = 0;
};

// Reads the arguments (body: bytes, date_key: str, figure_keys: tuple of str) of the
// function `name`; false with TypeError (or the encoding's error) set when they are not.
bool
read_arguments(const char *name, PyObject *const *args, Py_ssize_t nargs, Arguments &out)
{
    if (nargs != 3 || !PyBytes_Check(args[0]) || !PyUnicode_Check(args[1]) ||
        !PyTuple_Check(args[2])) {
        PyErr_Format(PyExc_TypeError, "%s() takes (bytes, str, tuple of str)", name);
        return false;
    }
    if (PyTuple_GET_SIZE(args[2]) > max_figures) {
        PyErr_Format(PyExc_ValueError, "%s() takes at most %zd figure keys", name, max_figures);
        return false;
    }
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(args[1], &size);
    if (!utf8) {
        return false;
    }
    out.date = std::string_view(utf8, static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args[2]); ++i) {
        PyObject *key = PyTuple_GET_ITEM(args[2], i);  // borrowed
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() takes (bytes, str, tuple of str)", name);
            return false;
        }
        utf8 = PyUnicode_AsUTF8AndSize(key, &size);
        if (!utf8) {
            return false;
        }
        out.figures[out.count++] = std::string_view(utf8, static_cast<std::size_t>(size));
    }
    out.body = std::string_view(PyBytes_AS_STRING(args[0]),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])));
    return true;
}

// Reads the arguments of decode() or why() (`name`) and decodes the body with the lock
// released; false with the exception set (TypeError, ValueError, MemoryError) otherwise.
// `reason` is null when the answer has the regular shape.
bool
run_decoder(const char *name, PyObject *const *args, Py_ssize_t nargs, Decoded &decoded,
            const char *&reason)
{
    Arguments arguments;
    if (!read_arguments(name, args, nargs, arguments)) {
        return false;
    }
    // The views stay valid without the lock: the caller holds the objects.
    PyThreadState *saved = PyEval_SaveThread();
    const Outcome outcome = decoder::decode_rows(arguments.body, arguments.date, arguments.figures,
                                                 arguments.count, decoded, reason);
    PyEval_RestoreThread(saved);
    if (outcome == Outcome::NoMemory) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// decode(body: bytes, date_key: str, figure_keys: tuple[str, ...]) -> tuple | None.
// New reference: the columns, or None when the answer is not of the regular shape.
// Raises TypeError for arguments of other types, MemoryError when memory runs out.
PyObject *
rows_decode(PyObject * /* module */, PyObject *const *args, Py_ssize_t nargs)
{
    Decoded decoded;
    const char *reason = nullptr;
    if (!run_decoder("decode", args, nargs, decoded, reason)) {
        return nullptr;
    }
    if (reason) {
        Py_RETURN_NONE;
    }
    return result_of(decoded);
}

// why(body, date_key, figure_keys) -> str | None: why decode() declines the answer
// (None when it does not); for tests and for a look at a service's answers.
PyObject *
rows_why(PyObject * /* module */, PyObject *const *args, Py_ssize_t nargs)
{
    Decoded decoded;
    const char *reason = nullptr;
    if (!run_decoder("why", args, nargs, decoded, reason)) {
        return nullptr;
    }
    if (!reason) {
        Py_RETURN_NONE;
    }
    return PyUnicode_FromString(reason);
}

PyMethodDef rows_methods[] = {
    {.ml_name = "decode",
     .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rows_decode)),
     .ml_flags = METH_FASTCALL,
     .ml_doc = "decode($module, body, date_key, figure_keys, /)\n--\n\n"
               "The typed columns of a time series answer of the regular shape, or None."},
    {.ml_name = "why",
     .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rows_why)),
     .ml_flags = METH_FASTCALL,
     .ml_doc = "why($module, body, date_key, figure_keys, /)\n--\n\n"
               "Why decode() declines the answer, or None when it does not."},
    {.ml_name = nullptr, .ml_meth = nullptr, .ml_flags = 0, .ml_doc = nullptr},
};

PyModuleDef_Slot rows_slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {.slot = Py_mod_multiple_interpreters, .value = Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {.slot = 0, .value = nullptr},
};

PyModuleDef rows_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quorvex._rows",
    .m_doc = "The compiled decoder of download's bulk path.",
    .m_size = 0,
    .m_methods = rows_methods,
    .m_slots = rows_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace quorvex::rows

PyMODINIT_FUNC
PyInit__rows()
{
    return PyModuleDef_Init(&quorvex::rows::rows_module);
}
