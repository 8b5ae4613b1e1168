// Everything that differs between the supported CPython versions lives here: the
// reference shims that 3.9 lacks, code-object construction, the traceback frame,
// saving the pending exception, the recursion guard, the version of the module dict, and
// whether functions have lazy annotations (`__annotate__`).
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
new_ref(PyObject *obj)
{
    Py_INCREF(obj);
    return obj;
}

// ID of the interpreter running the calling thread; -1 with an exception set on failure.
inline int64_t
current_interpreter_id()
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
         PyObject *qualname, int firstlineno, PyObject *empty_bytes, PyObject *empty_tuple)
{
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
#if PY_VERSION_HEX >= 0x030B0000
    (void)empty_bytes;
    const char *filename_utf8 = PyUnicode_AsUTF8(filename);
    const char *name_utf8 = filename_utf8 ? PyUnicode_AsUTF8(name) : nullptr;
    if (!name_utf8) {
        return nullptr;
    }
    Ref base = Ref::steal(
        reinterpret_cast<PyObject *>(PyCode_NewEmpty(filename_utf8, name_utf8, firstlineno)));
    Ref replace = Ref::steal(base ? PyObject_GetAttrString(base.get(), "replace") : nullptr);
    Ref kwargs =
        Ref::steal(replace ? Py_BuildValue("{s:i,s:O,s:i,s:i,s:O}", "co_argcount", argcount,
                                           "co_varnames", varnames, "co_nlocals", nlocals,
                                           "co_flags", flags, "co_qualname", qualname)
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
    SavedError()
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
    restore()
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
    // Puts the exception back unless restore() already did (or the thread is being ended,
    // see may_release(): the exception would land in another thread's state).
    ~SavedError() noexcept(false)
    {
        if (!restored_ && may_release()) {
            restore();
        }
    }

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

// The interpreter's recursion guard around one call made from C: enter() counts one
// level of depth, or raises RecursionError and returns -1; the destructor gives a
// counted level back. From 3.11 the budget is a counter in the thread state, which
// Py_EnterRecursiveCall decrements and Py_LeaveRecursiveCall increments, each looking
// the thread state up again (from 3.12 a thread-local read through the dynamic linker).
// While the budget is well above its end the guard does the same with one look-up;
// near the end it calls Py_EnterRecursiveCall, which decides and raises as always.
// Before 3.11, and where the interpreter probes the C stack itself, it is the API's.
// From 3.14 the limit is the C stack itself: Py_EnterRecursiveCall compares the stack
// pointer with the thread's bounds and counts nothing, so the API is the whole guard.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(USE_STACKCHECK)
#define QV_RECURSION_BUDGET 1
#else
#define QV_RECURSION_BUDGET 0
#endif

class RecursionGuard {
   public:
    RecursionGuard() = default;
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    // Not while the thread is being ended (see may_release()): its state may be freed,
    // and before 3.11 the level would be given back to another thread's state.
    ~RecursionGuard() noexcept(false)
    {
        if (held() && may_release()) {
            leave();
        }
    }
    // Gives the counted level back once the call has returned. A call that returns is
    // on the normal path, where the thread holds the GIL, so this needs none of the
    // destructor's check; the destructor then has nothing left to do.
    void
    leave()
    {
#if QV_RECURSION_BUDGET
        if (tstate_) {
            ++budget(tstate_);
            tstate_ = nullptr;
        }
#else
        if (entered_) {
            Py_LeaveRecursiveCall();
            entered_ = false;
        }
#endif
    }
    int
    enter(const char *where)
    {
#if QV_RECURSION_BUDGET
        PyThreadState *tstate = PyThreadState_Get();
        int &remaining = budget(tstate);
        if (remaining > 1) {
            --remaining;
        }
        else if (Py_EnterRecursiveCall(where)) {
            return -1;
        }
        tstate_ = tstate;
#else
        if (Py_EnterRecursiveCall(where)) {
            return -1;
        }
        entered_ = true;
#endif
        return 0;
    }

   private:
    bool
    held() const
    {
#if QV_RECURSION_BUDGET
        return tstate_ != nullptr;
#else
        return entered_;
#endif
    }
#if QV_RECURSION_BUDGET
    static int &
    budget(PyThreadState *tstate)
    {
#if PY_VERSION_HEX >= 0x030C0000
        return tstate->c_recursion_remaining;
#else
        return tstate->recursion_remaining;
#endif
    }
    PyThreadState *tstate_ = nullptr;  // set once a level is counted
#else
    bool entered_ = false;
#endif
};

// From 3.14 a function's annotations may be computed on first use by its `__annotate__`
// function, which functools.wraps copies in place of `__annotations__`. The message for
// an `__annotate__` whose result is not a dict is worded as the running version words it.
#if PY_VERSION_HEX >= 0x030E0000
#define QV_LAZY_ANNOTATIONS 1
#else
#define QV_LAZY_ANNOTATIONS 0
#endif
#if PY_VERSION_HEX >= 0x030F0000
#define QV_ANNOTATE_NOT_DICT "__annotate__() must return a dict, not %.100s"
#else
#define QV_ANNOTATE_NOT_DICT "__annotate__ returned non-dict of type '%.100s'"
#endif

// New reference to a frame of `code` whose current line is `line`; nullptr with an
// exception set on failure.
inline PyFrameObject *
frame_new(PyCodeObject *code, PyObject *globals, int line)
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

// Versions of the module dict, for the per-call-site cache of module-level names: a
// value that changes whenever the dict may have changed, or 0 where there is none (the
// cache is then off and every read looks the name up).
#if PY_VERSION_HEX < 0x030C0000
// Before 3.12 the dict carries its own version tag.
inline int
watch_dict(PyObject *)
{
    return 0;
}

inline uint64_t
dict_version(PyObject *dict)
{
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}

inline void
forget_dict_watch()
{
}
#else
// From 3.12 the tag is deprecated; a dict watcher counts the changes of the module dicts
// instead. An interpreter has only a few watcher slots, so all quorvex modules loaded
// into one interpreter share one watcher, found through a capsule in the interpreter's
// dict (each module is compiled separately and may be the first to be imported there).
// Watchers belong to an interpreter: a module whose import failed in one interpreter and
// is then imported in another looks the watcher up again.
struct DictWatch {
    int id;                   // the watcher, in the interpreter whose dict holds the capsule
    const uint64_t *version;  // the count its callback bumps
};

inline constexpr const char dict_watch_key[] = "quorvex.frame.dict_watch.2";
inline uint64_t dict_changes = 1;  // bumped by this module's callback; never 0
inline const DictWatch *dict_watch = nullptr;
inline PyInterpreterState *dict_watch_interpreter = nullptr;

inline int
on_dict_event(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *)
{
    ++dict_changes;
    return 0;
}

// The watch of the running interpreter, registered when no module has done so there;
// nullptr when no watcher slot is free (no exception set) or on error (exception set).
inline const DictWatch *
interpreter_dict_watch(PyInterpreterState *interpreter)
{
    PyObject *shared = PyInterpreterState_GetDict(interpreter);  // borrowed
    if (!shared) {
        return nullptr;
    }
    PyObject *capsule = PyDict_GetItemString(shared, dict_watch_key);  // borrowed
    if (capsule) {
        return static_cast<const DictWatch *>(PyCapsule_GetPointer(capsule, dict_watch_key));
    }
    const int id = PyDict_AddWatcher(on_dict_event);
    if (id < 0) {
        PyErr_Clear();
        return nullptr;
    }
    // Kept for the life of the process: the capsule may outlive this interpreter's use
    // of it, and modules elsewhere never read it.
    auto *watch = static_cast<DictWatch *>(PyMem_RawMalloc(sizeof(DictWatch)));
    Ref made = Ref::steal(watch ? PyCapsule_New(watch, dict_watch_key, nullptr) : nullptr);
    if (!made || PyDict_SetItemString(shared, dict_watch_key, made.get()) < 0) {
        if (!watch) {
            PyErr_NoMemory();
        }
        PyMem_RawFree(watch);  // the capsule, if made, is gone and had no destructor
        PyDict_ClearWatcher(id);
        return nullptr;
    }
    *watch = {id, &dict_changes};
    return watch;
}

// Starts counting the changes of `dict`. Without a free watcher slot nothing is counted
// and the cache stays off. 0, or -1 with an exception set.
inline int
watch_dict(PyObject *dict)
{
    PyInterpreterState *interpreter = PyInterpreterState_Get();
    if (!dict_watch || dict_watch_interpreter != interpreter) {
        dict_watch = interpreter_dict_watch(interpreter);
        dict_watch_interpreter = interpreter;
        if (!dict_watch) {
            return PyErr_Occurred() ? -1 : 0;
        }
    }
    return PyDict_Watch(dict_watch->id, dict);
}

inline uint64_t
dict_version(PyObject *)
{
    return dict_watch ? *dict_watch->version : 0;
}

// After the runtime has ended: its watchers are gone, and the next one registers anew.
inline void
forget_dict_watch()
{
    dict_watch = nullptr;
    dict_watch_interpreter = nullptr;
    ++dict_changes;
}
#endif

}  // namespace quorvex::frame::compat

#endif  // QUORVEX_FRAME_COMPAT_H
