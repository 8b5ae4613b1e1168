// Everything that differs between the supported CPython versions lives here: the
// reference shims that 3.9 lacks, code-object construction, the traceback frame,
// saving the pending exception, and the module dict's version tag.
#ifndef QUORVEX_FRAME_COMPAT_H
#define QUORVEX_FRAME_COMPAT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>

namespace quorvex::frame::compat {

// New reference to a borrowed object (Py_NewRef arrived in 3.10).
inline PyObject *
new_ref(PyObject *obj) noexcept
{
    Py_INCREF(obj);
    return obj;
}

// ID of the interpreter running the calling thread; -1 with an exception set on failure.
inline int64_t
current_interpreter_id() noexcept
{
    return PyInterpreterState_GetID(PyInterpreterState_Get());
}

// New reference to a code object that carries only what introspection reads: argument
// count, local names, flags, file name, name and first line. Its bytecode, line table
// and every other tuple are empty.
inline PyObject *
code_new(int argcount, int flags, PyObject *varnames, PyObject *filename, PyObject *name,
         PyObject *qualname, int firstlineno, PyObject *empty_bytes,
         PyObject *empty_tuple) noexcept
{
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
#if PY_VERSION_HEX >= 0x030C0000
    return reinterpret_cast<PyObject *>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames,
        empty_tuple, empty_tuple, filename, name, qualname, firstlineno, empty_bytes,
        empty_bytes));
#elif PY_VERSION_HEX >= 0x030B0000
    return reinterpret_cast<PyObject *>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames,
        empty_tuple, empty_tuple, filename, name, qualname, firstlineno, empty_bytes,
        empty_bytes));
#else
    (void)qualname;
    return reinterpret_cast<PyObject *>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames,
        empty_tuple, empty_tuple, filename, name, firstlineno, empty_bytes));
#endif
}

// The pending exception, taken out of the thread state and put back unchanged.
class SavedError {
public:
    SavedError() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &tb_);
#endif
    }
    SavedError(const SavedError &) = delete;
    SavedError &operator=(const SavedError &) = delete;
    // Makes the saved exception pending again.
    void
    restore() noexcept
    {
        if (restored_) {
            return;
        }
        restored_ = true;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
        exc_ = nullptr;
#else
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
#endif
    }
    // Puts the exception back unless restore() already did.
    ~SavedError() { restore(); }

private:
    bool restored_ = false;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *exc_ = nullptr;
#else
    PyObject *type_ = nullptr;
    PyObject *value_ = nullptr;
    PyObject *tb_ = nullptr;
#endif
};

// New reference to a frame of `code` whose current line is `line`; nullptr with an
// exception set on failure.
inline PyFrameObject *
frame_new(PyCodeObject *code, PyObject *globals, int line) noexcept
{
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
#if PY_VERSION_HEX < 0x030B0000
    if (frame) {
        frame->f_lineno = line;
    }
#else
    // The frame is opaque here; it reports the first line of its empty code object,
    // which the caller sets to `line`.
    (void)line;
#endif
    return frame;
}

// Fields that newer versions append to PyTypeObject after tp_vectorcall, so that
// static type tables stay complete (and -Wextra quiet) on every version.
#if PY_VERSION_HEX >= 0x030D0000
#define QV_TYPE_TRAILING_FIELDS 0, /* tp_watched */ 0, /* tp_versions_used */
#elif PY_VERSION_HEX >= 0x030C0000
#define QV_TYPE_TRAILING_FIELDS 0, /* tp_watched */
#else
#define QV_TYPE_TRAILING_FIELDS
#endif

// Version tags of the module dict, for the per-call-site cache of module-level names.
// Where the tag is gone or deprecated the cache is off and every read looks the name up.
#if PY_VERSION_HEX < 0x030C0000
#define QV_HAVE_DICT_VERSION 1
inline uint64_t
dict_version(PyObject *dict) noexcept
{
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}
#else
#define QV_HAVE_DICT_VERSION 0
#endif

}  // namespace quorvex::frame::compat

#endif  // QUORVEX_FRAME_COMPAT_H
