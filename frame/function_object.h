// The function-object type of every public quorvex function: one type per process,
// shared by all modules, with Python-function attributes, descriptor behaviour,
// pickling by reference and the argument binding of the fast calling convention.
#ifndef QUORVEX_FRAME_FUNCTION_OBJECT_H
#define QUORVEX_FRAME_FUNCTION_OBJECT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorvex::frame {

struct FunctionObject;

// Body of a function with fixed parameters. `args` holds one borrowed reference per
// parameter, in parameter order. Returns a new reference, or nullptr with an exception
// set and `*line` holding the source line of the step that failed.
using Body = PyObject *(*)(FunctionObject *self, PyObject *const *args, int *line);

// Body of a function taking `*args, **kwargs` (`kwargs` is nullptr when no keywords
// were passed). Same contract as `Body`.
using VarBody = PyObject *(*)(FunctionObject *self, PyObject *args, PyObject *kwargs, int *line);

// Static description of one function; the slots point into the module's string table.
// Fields with a default may be left out of its initializer.
struct FunctionSpec {
    PyObject **name;
    PyObject **qualname;
    PyObject **doc = nullptr;    // nullptr: no docstring
    PyObject **const *varnames;  // local names, parameters first, nullptr-terminated
    int argcount;                // at most `max_params` for a `Body` function
    int flags;                   // CO_* flags of the code object
    int first_line;              // the line of the `def`
    const char *traceback_name;  // function name shown in traceback entries
    PyObject **code;             // code object, made at import
    Body body = nullptr;         // exactly one of `body` and `var_body` is set
    VarBody var_body = nullptr;
    bool exact_str = false;           // every argument must be exactly `str`
    PyObject **annotation = nullptr;  // when set, every parameter is annotated with it
    const void *context = nullptr;    // what a shared body needs to know of this function
};

// Largest parameter count of a `Body` function: the size of the buffer the binding fills.
constexpr int max_params = 8;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;  // binding of the module that made the object
    ternaryfunc call_entry;     // entry of `*args, **kwargs` functions, else nullptr
    const FunctionSpec *spec;
    PyObject *name;
    PyObject *qualname;
    PyObject *doc;
    PyObject *module;
    PyObject *globals;
    PyObject *code;
    PyObject *closure;
    PyObject *annotations;
    PyObject *annotate;  // computes `annotations` when they are first read; nullptr: none
    PyObject *dict;
    PyObject *weakreflist;
    PyObject *defaults;
    PyObject *kwdefaults;
};

// Finds the process-wide function type (made by whichever module got there first) or
// makes it, and stores it in the module state. 0 on success, -1 with an exception set.
int function_type_ready();

// New function object for `spec` with this module's globals and an optional closure
// (borrowed). New reference, or nullptr with an exception set.
PyObject *function_new(const FunctionSpec &spec, PyObject *closure);

}  // namespace quorvex::frame

#endif  // QUORVEX_FRAME_FUNCTION_OBJECT_H
