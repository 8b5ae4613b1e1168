// Everything that differs between the supported CPython versions lives here: the
// reference shims that 3.9 lacks, code-object construction, the traceback frame,
// saving the pending exception, and the module dict's version tag.
#ifndef QUORVEX_FRAME_COMPAT_H
#define QUORVEX_FRAME_COMPAT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>

#include "ref.h"

// The Python version a module is built for, compared with the running one at import.
// A test build may define these to stand for a module built for another version.
#ifndef QV_BUILT_FOR_MAJOR
#define QV_BUILT_FOR_MAJOR PY_MAJOR_VERSION
#endif
#ifndef QV_BUILT_FOR_MINOR
#define QV_BUILT_FOR_MINOR PY_MINOR_VERSION
#endif

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
// count, local names, flags, file name, name and first line. Before 3.11 its bytecode,
// line table and other tuples are empty. From 3.11 on, an empty bytecode would crash the
// interpreter if anyone ran the code object (exec(f.__code__)), so it starts from
// PyCode_NewEmpty, whose body only raises, and takes the rest through replace().
inline PyObject *
code_new(int argcount, int flags, PyObject *varnames, PyObject *filename, PyObject *name,
         PyObject *qualname, int firstlineno, PyObject *empty_bytes,
         PyObject *empty_tuple) noexcept
{
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
#if PY_VERSION_HEX >= 0x030B0000
    (void)empty_bytes;
    const char *filename_utf8 = PyUnicode_AsUTF8(filename);
    const char *name_utf8 = filename_utf8 ? PyUnicode_AsUTF8(name) : nullptr;
    if (!name_utf8) {
        return nullptr;
    }
    Ref base = Ref::steal(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(filename_utf8, name_utf8, firstlineno)));
    Ref replace = Ref::steal(base ? PyObject_GetAttrString(base.get(), "replace") : nullptr);
    Ref kwargs = Ref::steal(
        replace ? Py_BuildValue("{s:i,s:O,s:i,s:i,s:O}", "co_argcount", argcount, "co_varnames",
                                varnames, "co_nlocals", nlocals, "co_flags", flags,
                                "co_qualname", qualname)
                : nullptr);
    return kwargs ? PyObject_Call(replace.get(), empty_tuple, kwargs.get()) : nullptr;
#else
    (void)qualname;
    PyCodeObject *code = PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames,
        empty_tuple, empty_tuple, filename, name, firstlineno, empty_bytes);
    if (code) {
        // These versions add CO_NOFREE to every code object without free variables; the
        // flags stay exactly the given ones, as on later versions, which dropped it.
        code->co_flags = flags;
    }
    return reinterpret_cast<PyObject *>(code);
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

// CPython's structs (type objects, module definitions, slot, method, member and getset
// tables) are written with designated initializers that name only the fields in use, the
// rest being zero as the language guarantees. GCC, and Clang from version 18, still warn
// under -Wextra about each field left out; these bracket such tables to silence that one
// warning there. MSVC has no such warning.
#if defined(__GNUC__) || defined(__clang__)
#define QV_BEGIN_CPYTHON_TABLES    \
    _Pragma("GCC diagnostic push") \
        _Pragma("GCC diagnostic ignored \"-Wmissing-field-initializers\"")
#define QV_END_CPYTHON_TABLES _Pragma("GCC diagnostic pop")
#else
#define QV_BEGIN_CPYTHON_TABLES
#define QV_END_CPYTHON_TABLES
#endif

// Module slots that only some versions have. From 3.12 the import system refuses, with
// a message of its own, any multi-phase module that does not declare subinterpreter
// support before its create slot runs; declaring it lets the create slot refuse every
// interpreter but the first with the module's own message, as on earlier versions.
// Interpreters with a GIL of their own stay refused by the import system: the module's
// state and types are process-wide and guarded by the one shared GIL.
#if PY_VERSION_HEX >= 0x030C0000
#define QV_VERSION_MODULE_SLOTS \
    {.slot = Py_mod_multiple_interpreters, .value = Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#else
#define QV_VERSION_MODULE_SLOTS
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
